#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT

DOCUMENTATION = r'''
---
module: zembril_info
short_description: Read zembril's class map as data
description:
  - Returns the bindings of one map file of C(zembril), or of both, read
    with C(zembril-dump --format=json), for C(register) and conditions.
  - With I(class), I(library) or I(scope), only the bindings that meet all
    of them are read and returned, at the cost of reading the map file
    once, however large it is.
  - Returns the health of the class map as C(zembril-dump --check --format=json)
    finds it, in I(health), among it the bindings whose library is not there,
    when I(health) asks for it, or by default when no I(class), I(library)
    or I(scope) is given, since that check reads both map files whole and
    looks up the library of every binding.
  - Never changes anything and never waits for a running C(zembril).
version_added: 1.2.0
author: The zembril authors (@zembril)
options:
  bits:
    description:
      - The map file, C(dravimap) for C(32) or C(dravimap64) for C(64), or
        both map files for C(both).
      - With C(both), only I(maps) holds the bindings.
      - A string or an integer alike, as a template gives it.
    type: str
    choices: ['32', '64', both]
    default: '64'
  class:
    description:
      - Only the bindings of these classes.
    type: list
    elements: str
    version_added: 1.3.0
  library:
    description:
      - Only the bindings to this library. Its first C(*) becomes the
        bitness of the map file read, as in zembril's command files.
    type: str
    version_added: 1.3.0
  scope:
    description:
      - Only the bindings of this map of the map file; the other one is
        returned empty.
    type: str
    choices: [U, K]
    version_added: 1.3.0
  health:
    description:
      - Whether to check the class map with C(zembril-dump --check) and
        return I(health).
      - Unset, only when no I(class), I(library) or I(scope) is given, so
        that a filtered read costs what its filter asks for, whatever the
        size of the map.
    type: bool
    version_added: 1.4.0
requirements:
  - The zembril package, 1.3.0 or later, whose C(zembril-dump) reads only
    the bindings asked for, on the managed host.
extends_documentation_fragment:
  - zembril.classmap.zembril
  - zembril.classmap.attributes
  - zembril.classmap.attributes.info_module
attributes:
  platform:
    platforms: linux
seealso:
  - module: zembril.classmap.zembril_binding
  - module: zembril.classmap.zembril_map
'''

EXAMPLES = r'''
- name: Read the 64-bit class map
  zembril.classmap.zembril_info:
  register: classmap

- name: Say where the widget class is bound
  ansible.builtin.debug:
    msg: "{{ classmap.U['com.example.Widget'] | default('not bound') }}"

- name: Read both map files
  zembril.classmap.zembril_info:
    bits: both
  register: classmaps

- name: Read where two classes are bound, and nothing else of the map
  zembril.classmap.zembril_info:
    class:
      - com.example.Widget
      - com.example.Gadget
  register: widgets

- name: Where the widget class is bound, and the health of the class map
  zembril.classmap.zembril_info:
    class: [com.example.Widget]
    health: true
  register: widget_and_health

- name: Fail where a binding names a library that is not there
  ansible.builtin.assert:
    that: classmap.health.missing | length == 0
    fail_msg: "{{ classmap.health.missing | map(attribute='class') | join(', ') }}"

- name: Say where the widget class is bound for 32-bit programs
  ansible.builtin.debug:
    msg: "{{ classmaps.maps['32'].U['com.example.Widget'] | default('not bound') }}"
'''

RETURN = r'''
U:
  description: The U map, class name to library; only the bindings asked for, with I(class), I(library) or I(scope).
  returned: unless I(bits=both)
  type: dict
  sample: {"com.example.Widget": "/usr/lib64/libwidget.so.1"}
K:
  description: The K map, class name to library; only the bindings asked for, with I(class), I(library) or I(scope).
  returned: unless I(bits=both)
  type: dict
  sample: {"Map<int,Widget>": "/usr/lib64/libwidget.so.1"}
bindings:
  description: Every binding of I(U) and I(K), U before K.
  returned: unless I(bits=both)
  type: list
  elements: dict
  sample: [{"scope": "U", "class": "com.example.Widget", "library": "/usr/lib64/libwidget.so.1"}]
file:
  description: The map file, as zembril-dump names it.
  returned: unless I(bits=both)
  type: str
  sample: /usr/local/tolvane/.mirtal/etc/dravimap64
health:
  description:
    - What C(zembril-dump --check --format=json) finds on the host, for both
      map files whatever I(bits) is.
    - C(healthy) is true when nothing needs attention (C(status) 0), C(summary)
      as the text form says it.
    - C(findings) lists every finding, each with C(what) (its kind, such as
      C(map-file) or C(missing-libraries)), C(where) (the path), C(severity)
      (C(attention) or C(ok)), and the C(label) and C(message) of the text form.
    - C(missing) lists every binding of a whole map file whose library is not
      there (or is not a regular file) inside I(root), with its C(file) (the
      map file), C(scope), C(class), C(library) and C(why).
    - C(lock) and C(map_files) are the document's C(lock) and C(mapFiles)
      as zembril-dump(8) describes them.
  returned: when I(health=true), or I(health) is unset and no I(class), I(library) or I(scope) is given
  type: dict
  sample: {"healthy": false, "status": 1, "summary": "1 thing needs attention",
           "findings": [{"what": "missing-libraries", "where": "/usr/local/tolvane/.mirtal/etc/dravimap64",
                         "severity": "attention", "label": "missing", "message": "dravimap64: 1 binding ..."}],
           "missing": [{"file": "/usr/local/tolvane/.mirtal/etc/dravimap64", "scope": "U",
                        "class": "com.example.Gadget", "library": "/usr/lib64/libgadget.so.1", "why": "missing"}],
           "lock": {"file": "/usr/local/tolvane/.mirtal/etc/dravimap.lock", "state": "free", "holder": null, "waiting": 0},
           "map_files": []}
maps:
  description:
    - Each map file that was read, under its bitness as a string (C(32), C(64)),
      with its C(U), C(K), C(bindings) and C(file) as above.
  returned: always
  type: dict
  sample: {"64": {"U": {}, "K": {}, "bindings": [], "file": "/usr/local/tolvane/.mirtal/etc/dravimap64"}}
'''

from ansible_collections.zembril.classmap.plugins.module_utils.zembril import (
    Read, Zembril, as_list, bits_option, common_argument_spec, names_of, ZembrilModule,
    shown_map, substitute)

BITS = {'32': (32,), '64': (64,), 'both': (32, 64)}


def main():
    argument_spec = common_argument_spec()
    argument_spec.update(
        bits=bits_option(list(BITS)),
        scope=dict(type='str', choices=['U', 'K']),
        library=dict(type='str'),
        health=dict(type='bool'),
    )
    argument_spec['class'] = dict(type='list', elements='str')
    module = ZembrilModule(argument_spec=argument_spec, supports_check_mode=True)
    params = module.params
    classes = params['class'] or []
    names = names_of(module, [('class[%d]' % at, name) for at, name in enumerate(classes)]
                     + [('library', params['library'])], carry=False)
    library = names.pop()
    filtered = params['scope'] is not None or names or library is not None
    maps = {}
    zembril = None
    for bits in BITS[params['bits']]:
        zembril = Zembril(module, params['root'], bits, zembril and zembril.show)
        zembril.check_root()
        read = Read(params['scope'], tuple(names), None if library is None else substitute(library, bits))
        bindings, path = zembril.read([read] if filtered else None)
        maps[str(bits)] = dict(U=shown_map(bindings['U'], zembril.show),
                               K=shown_map(bindings['K'], zembril.show),
                               bindings=as_list(bindings, zembril.show), file=path)
    result = dict(changed=False, maps=maps)
    if params['health'] or (params['health'] is None and not filtered):
        result['health'] = Zembril(module, params['root'], 64, zembril.show).health()
    if len(maps) == 1:
        result.update(list(maps.values())[0])
    zembril.exit(**result)


if __name__ == '__main__':
    main()
