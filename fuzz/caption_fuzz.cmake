# The caption reader's fuzz target: libFuzzer in the fuzzing configuration
# (tools/dev/fuzz.sh, listed in targets.txt); in the normal builds the same
# code replays the committed corpus (corpus/captions) as a test. The reader
# needs only the C runtime, so the target takes its one source file.
set(SENTREL_CAPTION_FUZZ_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/caption_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/utility/main/caption_reader.cpp)

if(ZHP_FUZZ)
  add_executable(sentrel_caption_fuzz ${SENTREL_CAPTION_FUZZ_SOURCES})
  target_compile_options(sentrel_caption_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(sentrel_caption_fuzz PRIVATE -fsanitize=fuzzer)
  set(sentrel_caption_target sentrel_caption_fuzz)
else()
  add_executable(sentrel_caption_replay ${SENTREL_CAPTION_FUZZ_SOURCES} ${CMAKE_CURRENT_LIST_DIR}/replay_main.cpp)
  set(sentrel_caption_target sentrel_caption_replay)
  add_test(NAME sentrel_caption_corpus COMMAND sentrel_caption_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/captions)
  set_tests_properties(sentrel_caption_corpus PROPERTIES LABELS "utility;fuzz" TIMEOUT 300)
endif()
target_include_directories(${sentrel_caption_target} PRIVATE ${PROJECT_SOURCE_DIR}/utility/main)
