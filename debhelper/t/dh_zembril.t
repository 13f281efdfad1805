#!/usr/bin/perl
# dh_zembril's grammar against the table that zembril-sync's parser reads
# too, and dh_zembril run on small source trees as dh would run it.
use strict;
use warnings;
use Cwd qw(abs_path);
use File::Basename qw(dirname);
use File::Path qw(make_path);
use File::Temp qw(tempdir);
use Test::More;

my $top = abs_path(dirname(__FILE__) . '/../..');
my $dh_zembril = "${top}/debhelper/dh_zembril";
require $dh_zembril;

sub unescape {
	my ($text) = @_;
	$text =~ s/\\(?:x([0-9a-f]{2})|(.))/defined($1) ? chr(hex($1)) : {n => "\n", t => "\t", '\\' => '\\'}->{$2}/ge;
	return $text;
}

subtest 'the grammar that zembril-sync reads' => sub {
	open(my $table, '<:raw', "${top}/tests/data/declaration-lines.txt") or die("open: $!");
	my $cases = 0;
	while (my $case = <$table>) {
		chomp($case);
		next if $case =~ m/^#/ or $case eq '';
		my ($bytes, $verdict) = split(m/\t/, $case, 2);
		my ($bindings, $problem) = main::parse_declaration(unescape($bytes));
		my $got = defined($problem) ? $problem : 'ok ' . scalar(@{$bindings});
		is($got, $verdict, $bytes);
		++$cases;
	}
	ok($cases > 10, "${cases} cases");
};

# Each case: the config files, the files of the package's tree, what
# dh_zembril installs (the name and content of the declaration) and what it
# warns. The dpkg tests build packages whose declarations use debhelper's
# variables.
my $multiarch = qx{dpkg-architecture -qDEB_HOST_MULTIARCH};
chomp($multiarch);
my $arch = qx{dpkg-architecture -qDEB_HOST_ARCH};
chomp($arch);
my @cases = (
	{
		what => 'an executable config is run, and a library the package lacks is named',
		config => {'libw1.zembril' => "#!/bin/sh\necho '# generated'\necho '64 U W /usr/lib*/libw.so.1'\n"},
		executable => 1,
		tree => [],
		name => 'libw1',
		content => "64 U W /usr/lib*/libw.so.1\n",
		warnings => qr{output of \./debian/libw1\.zembril:2: /usr/lib64/libw\.so\.1 does not exist in debian/libw1},
	},
	{
		what => 'a Multi-Arch: same instance declares under its architecture, from its own file',
		multiarch => 'same',
		config => {
			'libw1.zembril' => "32 U W /usr/lib/other/libw.so.1\n",
			"libw1.zembril.${arch}" => "64 U W /usr/lib/${multiarch}/libw.so.1\n",
		},
		tree => ["usr/lib/${multiarch}/libw.so.1"],
		name => "libw1:${arch}",
		content => "64 U W /usr/lib/${multiarch}/libw.so.1\n",
		warnings => '',
	},
	{
		what => 'a blank that a substitution makes is refused',
		config => {'libw1.zembril' => "64 U W\${Space}X /usr/lib/libw.so.1\n"},
		tree => ['usr/lib/libw.so.1'],
		error => qr{debian/libw1\.zembril:1: the class must hold no blank: "W X"},
	},
	{
		what => 'a class that a substitution empties is refused',
		config => {'libw1.zembril' => "64 U \${env:ZEMBRIL_TEST_EMPTY} /usr/lib/libw.so.1\n"},
		tree => ['usr/lib/libw.so.1'],
		error => qr{debian/libw1\.zembril:1: the class must not be empty, but "\$\{env:ZEMBRIL_TEST_EMPTY\}" expands to nothing},
	},
);
# Set, but to nothing, for the case above.
$ENV{ZEMBRIL_TEST_EMPTY} = q{};
foreach my $case (@cases) {
	my $source = tempdir(CLEANUP => 1);
	make_path("${source}/debian");
	open(my $control, '>', "${source}/debian/control") or die("open: $!");
	print {$control} "Source: libw\nBuild-Depends: debhelper-compat (= 13)\n\nPackage: libw1\n"
		. "Architecture: any\n" . ($case->{multiarch} ? "Multi-Arch: $case->{multiarch}\n" : '')
		. "Description: test\n test\n";
	close($control) or die("close: $!");
	foreach my $file (keys(%{$case->{config}})) {
		open(my $out, '>:raw', "${source}/debian/${file}") or die("open: $!");
		print {$out} $case->{config}{$file};
		close($out) or die("close: $!");
		chmod(0755, "${source}/debian/${file}") if $case->{executable};
	}
	foreach my $file (@{$case->{tree}}) {
		make_path(dirname("${source}/debian/libw1/${file}"));
		open(my $out, '>', "${source}/debian/libw1/${file}") or die("open: $!");
		close($out) or die("close: $!");
	}
	my $output = qx{cd '${source}' && perl '${dh_zembril}' 2>&1};
	my $status = $?;
	if ($case->{error}) {
		isnt($status, 0, "$case->{what}: fails");
		like($output, $case->{error}, "$case->{what}: says why");
		next;
	}
	is($status, 0, "$case->{what}: succeeds") or diag($output);
	my $installed = "${source}/debian/libw1/usr/share/zembril/declarations/$case->{name}";
	my $content = -f $installed ? do { local (@ARGV, $/) = ($installed); <> } : undef;
	is($content, $case->{content}, "$case->{what}: installs $case->{name}");
	if (ref($case->{warnings})) {
		like($output, $case->{warnings}, "$case->{what}: warns");
	} else {
		is($output, $case->{warnings}, "$case->{what}: warns of nothing");
	}
}

done_testing();
