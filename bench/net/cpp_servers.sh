# Sourced by cpp_run.sh and cpp_instructions.sh (from the top of the tree,
# with `build` set to a build folder holding libkeel.so): builds loadgen and
# the three echo servers, on that library, into $out, and gives the servers a
# folder to run in where echo_keel.c accepts at once, as keel::runtime does.
src=bench/net
out=build-bench/net-cpp
[ -f "$build/libkeel.so" ] || { echo "$0: no $build/libkeel.so: build the target keel first" >&2; exit 1; }
mkdir -p "$out/at-once"
echo '{}' >"$out/at-once/select_config.json"
link=(-Iinclude -L"$build" -lkeel -Wl,-rpath,"$build")
cc -O2 -g -std=gnu11 -o "$out/loadgen" "$src/loadgen.c" || exit 1
cc -O2 -g -std=gnu11 -o "$out/echo_keel" "$src/echo_keel.c" "${link[@]}" || exit 1
for name in echo_keel_cpp echo_keel_cpp_co; do
    c++ -O2 -g -std=c++20 -o "$out/$name" "$src/$name.cc" "${link[@]}" || exit 1
done
