# Runs one libFuzzer target for SECONDS seconds over CORPORA ('|'-separated
# folders, the first one written to) and prints one line with the number of
# inputs it ran and their rate; the fuzzer's own output is shown only when it
# found something. The figures are printed, never judged: they depend on the
# machine. MAX_LEN, when set, caps the length of the inputs it makes.
string(REPLACE "|" ";" corpora "${CORPORA}")
set(max_len_option "")
if(MAX_LEN)
  set(max_len_option "-max_len=${MAX_LEN}")
endif()
get_filename_component(name "${FUZZER}" NAME)
execute_process(
  COMMAND "${FUZZER}" -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 ${max_len_option} ${corpora}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
string(REGEX MATCH "stat::number_of_executed_units: *([0-9]+)" _ "${output}")
set(units "${CMAKE_MATCH_1}")
string(REGEX MATCH "stat::average_exec_per_sec: *([0-9]+)" _ "${output}")
set(rate "${CMAKE_MATCH_1}")
if(NOT result EQUAL 0)
  message("${output}")
  message(FATAL_ERROR "${name}: failed (exit ${result}) after ${units} inputs")
endif()
message("${name}: ${units} inputs in ${SECONDS} s (${rate} per second)")
