# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    # The options that choose the map file, shared by every module.
    DOCUMENTATION = r'''
options:
  bits:
    description: The map file, C(dravimap) for 32 or C(dravimap64) for 64.
    type: int
    choices: [32, 64]
    default: 64
  root:
    description:
      - The system image whose class map is meant, as for C(zembril /root);
        every path of zembril is taken inside this directory.
      - Without it, the running system's class map.
    type: path
'''
