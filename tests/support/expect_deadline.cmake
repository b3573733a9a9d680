# Runs the test that hangs on purpose alone, with a one-second deadline, and
# passes when the program names it on standard error and ends abnormally
# long before the time-out below.
#   cmake -DPROGRAM=... [-DEMULATOR=a|b|c] -P expect_deadline.cmake
string(REPLACE "|" ";" emulator "${EMULATOR}")
set(ENV{VELMORA_TEST_DEADLINE_SECONDS} 1)
execute_process(
  COMMAND ${emulator} ${PROGRAM} --gtest_also_run_disabled_tests
          --gtest_filter=TestDeadline.DISABLED_HangsOnPurpose
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  TIMEOUT 60)
set(named "DEADLINE \\] TestDeadline\\.DISABLED_HangsOnPurpose still running after [0-9]+ s: aborting")
if(result STREQUAL "0" OR result MATCHES "timeout")
  message(FATAL_ERROR "the hanging test was not ended by its deadline (${result}):\n${out}\n${err}")
endif()
if(NOT err MATCHES "${named}")
  message(FATAL_ERROR "the hanging test ended (${result}) without being named:\n${out}\n${err}")
endif()
message(STATUS "named and ended: ${result}")
