#!/usr/bin/perl
use warnings;
use strict;
use Debian::Debhelper::Dh_Lib;

# Late enough that the package tree is complete, early enough that
# dh_gencontrol reads the dependency and dh_md5sums lists the declaration.
insert_before('dh_installdeb', 'dh_zembril');

1;
