# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT
"""CHANGELOG.rst says what changelogs/changelog.yaml says, written as
antsibull-changelog writes it, which is not at hand where the collection
is built."""

import os

import yaml

ROOT = os.path.join(os.path.dirname(__file__), '..', '..')


def heading(text, underline, over=False):
    line = underline * len(text)
    return ([line] if over else []) + [text, line, '']


def rendered(changes, config):
    lines = heading(config['title'] + ' Release Notes', '=', over=True) + ['.. contents:: Topics', '', '']
    for version, release in sorted(changes['releases'].items(), reverse=True,
                                   key=lambda item: [int(part) for part in item[0].split('.')]):
        lines += heading('v' + version, '=')
        sections = release.get('changes', {})
        summary = config['prelude_section_name']
        if summary in sections:
            lines += heading(config['prelude_section_title'], '-') + [sections[summary], '']
        for name, title in config['sections']:
            if sections.get(name):
                lines += heading(title, '-') + ['- ' + entry for entry in sections[name]] + ['']
        if release.get('modules'):
            lines += heading('New Modules', '-') + ['- %s - %s' % (module['name'], module['description'])
                                                    for module in release['modules']] + ['']
    return '\n'.join(lines).rstrip('\n') + '\n'


def test_the_changelog_says_what_its_data_says():
    with open(os.path.join(ROOT, 'changelogs', 'config.yaml')) as config_file:
        config = yaml.safe_load(config_file)
    with open(os.path.join(ROOT, 'changelogs', config['changes_file'])) as changes_file:
        changes = yaml.safe_load(changes_file)
    path = os.path.join(ROOT, 'changelogs', config['changelog_filename_template'])
    with open(path) as changelog:
        assert changelog.read() == rendered(changes, config)


def test_each_fragment_is_of_the_sections_the_changelog_knows():
    with open(os.path.join(ROOT, 'changelogs', 'config.yaml')) as config_file:
        config = yaml.safe_load(config_file)
    known = {section[0] for section in config['sections']}
    known |= {config['prelude_section_name'], config['trivial_section_name']}
    directory = os.path.join(ROOT, 'changelogs', config['notesdir'])
    for name in sorted(os.listdir(directory)) if os.path.isdir(directory) else []:
        with open(os.path.join(directory, name)) as fragment_file:
            fragment = yaml.safe_load(fragment_file)
        assert set(fragment) <= known, name
        assert all(isinstance(entry, str) for section, entries in fragment.items()
                   if section != config['prelude_section_name'] for entry in entries), name
