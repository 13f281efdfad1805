# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT


class ModuleDocFragment:
    # The options that choose the map file and how names are written,
    # shared by every module. The requirements are each module's own:
    # ansible-doc joins those of fragments into one line.
    DOCUMENTATION = r'''
options:
  bits:
    description:
      - The map file, C(dravimap) for 32 or C(dravimap64) for 64.
      - A string or an integer alike, as a template gives it.
    type: str
    choices: ['32', '64']
    default: '64'
  root:
    description:
      - The system image whose class map is meant, as for C(zembril /root);
        every path of zembril is taken inside this directory.
      - Without it, the running system's class map.
      - A root that is not an absolute path, or not an existing directory,
        fails the task, naming it.
    type: path
  escaped:
    description:
      - Class names and library paths, in the options and in the return
        values, are written as C(zembril-dump) writes them in its text form,
        with C(\\) for a backslash, C(\t) for a tab, C(\n) for a newline and
        C(\xHH) for any byte, such as one that is no valid UTF-8, which
        Ansible cannot pass to a module as it is.
      - Without it, names are taken and returned as they are, but for a
        name that is no valid UTF-8, which is returned escaped all the
        same, with a warning; a task given such a name fails, saying so.
    type: bool
    default: false
'''

    # The options of the modules that change the map.
    CHANGE = r'''
options:
  lock_timeout:
    description:
      - How many seconds the C(zembril) run may take, most of which is
        waiting for the lock that runs on one map directory take in turn
        (a run itself takes well under a second).
      - Past it the run is stopped and the task fails, naming the process
        that holds the lock as C(zembril-dump --check) finds it. A run
        stopped while it saves leaves the old map or the new one, whole.
    type: int
    default: 60
'''
