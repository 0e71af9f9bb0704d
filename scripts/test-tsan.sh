#!/usr/bin/env bash
# Builds the tsan preset (ThreadSanitizer, build/tsan) and runs its tests: several devices of the
# loaded plug-in driven on several threads at once, with their observers changed meanwhile
# (tests/multi_device_test.cpp), the host program that loads the plug-in, and the bench host
# end to end with its history writer thread. A data race fails the test that met it. Prints the
# time taken. Run as root on Debian 12: missing packages are installed first.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

scripts/install-deps.sh libtsan2
cmake --preset tsan
cmake --build --preset tsan --parallel 2

# ThreadSanitizer maps its shadow at fixed places; kernels that randomise mmap with more than 28
# bits may put the program there. Such runs go without address randomisation.
run=()
if [[ -r /proc/sys/vm/mmap_rnd_bits ]] && (($(cat /proc/sys/vm/mmap_rnd_bits) > 28)); then
    run=(setarch "$(uname -m)" -R)
fi
"${run[@]}" ctest --preset tsan

echo "test-tsan.sh: $((SECONDS - start)) s"
