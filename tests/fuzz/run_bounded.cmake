# A bounded fuzz run: a fresh copy of the repository's corpus in the build
# directory (the run adds its new inputs there, never to the repository),
# SECONDS of fuzzing from seed 1, crash inputs kept in WORK/artifacts/.
#   cmake -DFUZZER=... -DCORPUS=... -DWORK=... -DSECONDS=... -P run_bounded.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/artifacts)
file(COPY ${CORPUS}/ DESTINATION ${WORK}/corpus)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -seed=1 -timeout=20 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "fuzzer ${FUZZER} failed (${status}); inputs in ${WORK}/artifacts/")
endif()
