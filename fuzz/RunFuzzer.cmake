# Runs one fuzzer for SECONDS on a scratch copy of its seed corpus; fails on any crash.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
if(EXISTS ${SEEDS})
    file(GLOB seeds ${SEEDS}/*)
    if(seeds)
        file(COPY ${seeds} DESTINATION ${WORK})
    endif()
endif()
# A leak inside a third-party library is not ours to fix; ours still fail the run.
set(ENV{LSAN_OPTIONS} "suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp:print_suppressions=0")
execute_process(COMMAND ${FUZZER} -max_total_time=${SECONDS} -rss_limit_mb=2560 -timeout=20
                        -artifact_prefix=${WORK}-crash- ${WORK}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${rc})")
endif()
