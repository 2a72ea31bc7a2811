# Runs one fuzz target for the ctest test: a fresh work folder each time, so
# that the short fixed-seed run does the same every time, then the committed
# seeds. Arguments: FUZZER, WORK, SEEDS (may be empty), RUNS.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(
    COMMAND ${FUZZER} -runs=${RUNS} -seed=1 -timeout=10 -max_len=4096 -rss_limit_mb=2048
            -print_final_stats=1 -artifact_prefix=${WORK}/ ${WORK} ${SEEDS}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${result}); the input that failed is in ${WORK}")
endif()
