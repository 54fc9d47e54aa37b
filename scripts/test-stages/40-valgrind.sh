# valgrind: the unit tests, and the daemon through a timed run of the spine
# and of the scripted probe path, with no definite leak and no error.
set -euo pipefail
scripts/build default
for t in build/default/tests/unit/*_test; do
    valgrind -q --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=99 \
        --trace-children=no "$t" --gtest_brief=1 --gtest_death_test_style=threadsafe >/dev/null
    echo "valgrind clean: $(basename "$t")"
done
VALGRIND=1 ctest --test-dir build/default -LE 'broker|browser' --output-on-failure -R 'e2e\.(spine\.timed|probe_path\.scripted|multicast)'
