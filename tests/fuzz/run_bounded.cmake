# A bounded fuzz run: a fresh copy of the repository's corpus in the build
# directory (the run adds its new inputs there, never to the repository),
# SECONDS of fuzzing from seed 1, crash inputs kept in WORK/artifacts/.
# Prints one line "fuzz TARGET: ..." with the run's figures; the fuzzer's
# whole output only when it failed.
#   cmake -DTARGET=... -DFUZZER=... -DCORPUS=... -DWORK=... -DSECONDS=... -P run_bounded.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/artifacts)
file(COPY ${CORPUS}/ DESTINATION ${WORK}/corpus)
string(TIMESTAMP started "%s")
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -seed=1 -timeout=20 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(TIMESTAMP ended "%s")
math(EXPR wall "${ended} - ${started}")
set(log "${out}${err}")
foreach(stat number_of_executed_units average_exec_per_sec new_units_added)
  set(${stat} "?")
  if(log MATCHES "stat::${stat}: *([0-9]+)")
    set(${stat} ${CMAKE_MATCH_1})
  endif()
endforeach()
if(NOT status EQUAL 0)
  message(NOTICE "${log}")
  message(NOTICE "fuzz ${TARGET}: FAILED after ${number_of_executed_units} runs (status ${status}); input in ${WORK}/artifacts/")
  message(FATAL_ERROR "fuzzer failed")
endif()
message(NOTICE "fuzz ${TARGET}: ${number_of_executed_units} runs in ${wall} s (${average_exec_per_sec}/s), "
               "${new_units_added} new inputs, no fault")
