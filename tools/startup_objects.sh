#!/usr/bin/env bash
# Prints the C library objects a clean run of the product executes (code)
# and writes (data), with standard error on /dev/null and on a terminal:
# the lists support/startup_layout.ld gathers. Run it
# when the C library changes (the ProductImage test fails) and put its
# lists in the script.
#   bash tools/startup_objects.sh [preset]      (default: default)
# The product is linked again as the build links it, with a link map; every
# instruction address of a run (single-stepped) and every address it writes
# (valgrind's lackey) is looked up in the map's input sections. Valgrind's
# CPU has neither AVX-512 nor transactional memory, so a native run writes a
# little more (the lock elision switch in lowlevellock.o): the script's data
# lists keep such objects, and the objects a run only reads early.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
dir=build/$preset

if ! command -v valgrind >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq valgrind
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target w4_input_tests >/dev/null
link=$(ninja -C "$dir" -t commands src/w4_input_tests | tail -1)
link=${link/-o src\/w4_input_tests/-o $work\/product}
(cd "$dir" && eval "${link/&& :/}" -Wl,-Map,"$work/map")

cc -O2 tools/single_step.c -o "$work/single_step"
"$work/single_step" "$work/product" >"$work/executed"
valgrind --tool=lackey --trace-mem=yes --log-file="$work/lackey" "$work/product" 2>/dev/null
# On a terminal (script's pseudo-terminal) the progress display runs a
# thread of its own, which the single-stepper does not follow: valgrind
# records that run's code blocks and writes.
script -qec "valgrind --tool=lackey --trace-superblocks=yes --trace-mem=yes --log-file=$work/lackey-tty $work/product" \
  /dev/null >/dev/null
awk '$1 == "SB" { sub(/^0x/, "", $2); print $2 }' "$work/lackey-tty" >>"$work/executed"
awk '$1 == "S" || $1 == "M" { split($2, a, ","); print a[1] }' "$work/lackey" "$work/lackey-tty" |
  sort -u >"$work/written"

# Input sections of the map: a line " .name  0xADDR  0xSIZE  file", or the
# name alone on one line and the rest on the next.
perl -e '
  my ($map, $executed, $written) = @ARGV;
  my @sections;
  open(my $m, "<", $map) or die;
  my $pending;
  while (<$m>) {
    if (/^ (\.\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)$/) { push @sections, [hex $2, hex $3, $1, $4]; undef $pending; next }
    if (/^ (\.\S+)$/) { $pending = $1; next }
    if (defined $pending && /^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)$/) { push @sections, [hex $1, hex $2, $pending, $3] }
    undef $pending;
  }
  @sections = sort { $a->[0] <=> $b->[0] } grep { $_->[0] && $_->[1] } @sections;
  sub objects {
    my ($file, $want) = @_;
    my %found;
    open(my $f, "<", $file) or die;
    my @addresses = sort { $a <=> $b } map { hex } <$f>;
    my $i = 0;
    for my $address (@addresses) {
      $i++ while $i + 1 < @sections && $sections[$i + 1][0] <= $address;
      my ($start, $size, $name, $object) = @{$sections[$i]};
      next unless $address >= $start && $address < $start + $size && $name =~ $want;
      $found{"$1($2)"} = 1 if $object =~ m{(libc\.a|libgcc[^/]*\.a)\(([^)]+)\)$};
    }
    return join("\n", sort keys %found) . "\n";
  }
  print "== code a clean run executes\n", objects($executed, qr/^\.text/);
  print "== data it writes\n", objects($written, qr/^\.(data|bss)/);
' "$work/map" "$work/executed" "$work/written"
