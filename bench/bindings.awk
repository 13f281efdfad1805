# Prints n bindings as zembril command-file lines (form=commands) or as SQL
# inserts in one transaction (form=sql), the same bindings in the same order
# either way. Class names are namespaced and 20 to 40 bytes long, library
# paths look like /usr/lib64/vendor/libfoo.so.3; they come in a scrambled
# order, as an installer's would, not sorted. With shared=1 every second
# binding names the one library /usr/lib64/shared/libshared.so.1.
#
# Usage: awk -v n=1000 -v form=commands [-v shared=1] -f bench/bindings.awk
BEGIN {
  split("com org net io de", tld, " ")
  split("acme globex initech umbrellacorp hooli piedpiper soylent tyrell wonka cyberdyne vandelay",
        vendor, " ")
  split("ui net storage render audio codec crypto widgets", module, " ")
  if (form == "sql") print "BEGIN;"
  for (i = 0; i < n; ++i) {
    # 7919 is prime and n is a product of 2s and 5s, so this visits every j once.
    j = (i * 7919) % n
    v = vendor[j % 11 + 1]
    m = module[int(j / 11) % 8 + 1]
    name = sprintf("%s.%s.%s.Class%04d", tld[j % 5 + 1], v, m, j)
    if (shared && i % 2 == 0) {
      path = "/usr/lib64/shared/libshared.so.1"
    } else {
      path = sprintf("/usr/lib64/%s/lib%s%d.so.%d", v, m, j % 37, j % 4)
    }
    if (form == "sql") {
      printf "INSERT OR IGNORE INTO map VALUES('%s','%s');\n", name, path
    } else {
      printf "U, add, %s, %s\n", name, path
    }
  }
  if (form == "sql") print "COMMIT;"
}
