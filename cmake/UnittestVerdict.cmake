# How a test file run by `python -m unittest -v` is judged alike on every
# CPython: one in which no test ran fails (2.7 to 3.11 exit with 0 then, 3.12
# on with 5, as for a file whose every test was skipped), and one whose every
# test was skipped is a skip where unittest says so ("NO TESTS RAN
# (skipped=N)", only ever printed when nothing failed).
function(tilestream_unittest_verdict test)
  set_tests_properties(${test} PROPERTIES
    FAIL_REGULAR_EXPRESSION "\nRan 0 tests in "
    SKIP_REGULAR_EXPRESSION "NO TESTS RAN \\(skipped=")
endfunction()
