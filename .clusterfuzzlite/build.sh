#!/bin/bash -eu
# Builds every fuzz target for a fuzzing farm, by the OSS-Fuzz build
# contract: the farm's compiler ($CXX) and flags ($CXXFLAGS: its sanitizers
# and coverage; the project has no C sources, so $CC and $CFLAGS go unused),
# its engine ($LIB_FUZZING_ENGINE), the source at $SRC/hba, intermediate files
# in $WORK (kept between builds, so that a build again is incremental), the
# targets into $OUT. Every fuzz/fuzz_NAME.cpp is a target fuzz_NAME, shipped
# with fuzz_NAME_seed_corpus.zip (its seeds), fuzz_NAME.dict and
# fuzz_NAME.options (fuzz/, as fuzz/run uses them).
src=$SRC/hba
build=$WORK/hba-fuzz
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# No build type: the farm's flags alone choose the optimisation.
cmake -S "$src/fuzz" -B "$build" -G Ninja -DHBA_FUZZ_FARM=ON -DCMAKE_BUILD_TYPE= \
  -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_CXX_FLAGS="$CXXFLAGS" -DHBA_FUZZ_ENGINE="$LIB_FUZZING_ENGINE"

# fuzz_faults's seeds are fuzz/corpus; a later target's, fuzz/corpus-NAME.
seeds_of() {
  if [[ $1 == fuzz_faults ]]; then echo "$src/fuzz/corpus"; else echo "$src/fuzz/corpus-${1#fuzz_}"; fi
}

for source in "$src"/fuzz/fuzz_*.cpp; do
  name=$(basename "$source" .cpp)
  cmake --build "$build" --target "$name"
  cp "$build/$name" "$OUT/"
  cp "$src/fuzz/$name.dict" "$src/fuzz/$name.options" "$OUT/"
  rm -f "$OUT/${name}_seed_corpus.zip"
  zip -q -X -j "$OUT/${name}_seed_corpus.zip" "$(seeds_of "$name")"/*
done
