# Run by ctest (through the TEST_INCLUDE_FILES of the test build folder), not
# at configure time: the test binary lists its own cases, so a new TEST shows
# up as a CTest case without configuring again. Set before including:
# CORVANE_CPP_TESTS_BINARY, CORVANE_CPP_TESTS_FILTER (a name part, or empty),
# CORVANE_CPP_TESTS_TIMEOUT (seconds per case), CORVANE_CPP_TESTS_ENVIRONMENT.

set(_corvane_cases "")
if(EXISTS "${CORVANE_CPP_TESTS_BINARY}")
  execute_process(
    COMMAND "${CORVANE_CPP_TESTS_BINARY}" --list ${CORVANE_CPP_TESTS_FILTER}
    OUTPUT_VARIABLE _corvane_listing
    RESULT_VARIABLE _corvane_result)
  if(_corvane_result EQUAL 0)
    string(REGEX MATCHALL "[^\n]+" _corvane_cases "${_corvane_listing}")
  endif()
endif()

if(_corvane_cases)
  foreach(_corvane_case IN LISTS _corvane_cases)
    add_test("${_corvane_case}" "${CORVANE_CPP_TESTS_BINARY}" --exact "${_corvane_case}")
    set_tests_properties("${_corvane_case}" PROPERTIES
      TIMEOUT "${CORVANE_CPP_TESTS_TIMEOUT}"
      ENVIRONMENT "${CORVANE_CPP_TESTS_ENVIRONMENT}")
  endforeach()
else()
  # An unbuilt binary or an empty listing must fail the run rather than pass
  # it with no test. This case lists again and counts as failed when that
  # works (or when the binary is missing).
  add_test(corvane_cpp_tests_found_no_case "${CORVANE_CPP_TESTS_BINARY}" --list ${CORVANE_CPP_TESTS_FILTER})
  set_tests_properties(corvane_cpp_tests_found_no_case PROPERTIES WILL_FAIL TRUE)
endif()
