# -*- coding: utf-8 -*-
# Copyright: 2026 the zembril authors
# SPDX-License-Identifier: MIT


class ModuleDocFragment:
    # What the attributes mean; each module says how far it supports them.
    DOCUMENTATION = r'''
options: {}
attributes:
  check_mode:
    description: Can run in check mode and return changed status prediction without modifying target.
  diff_mode:
    description: Will return details on what has changed (or possibly needs changing in check mode), when in diff mode.
  platform:
    description: Target OS/families that can be operated against.
    support: N/A
    platforms: linux
'''

    INFO_MODULE = r'''
options: {}
attributes:
  check_mode:
    support: full
    details:
      - This action does not modify state.
  diff_mode:
    support: N/A
    details:
      - This action does not modify state.
'''
