# The build-day step (cmake/KorvaneBuildDate.cmake), as a later build would
# run it: SOURCE_DATE_EPOCH fixes the day, a one-digit day is padded as the
# compiler pads it, and a build on a later day rewrites the stamp.
#   cmake -DSTEP=<KorvaneBuildDate.cmake> -DWORK=<scratch dir> -P builddatestamp.cmake
set(out ${WORK}/builddate_stamp.cpp)
file(REMOVE ${out})

function(expect_day epoch spelled)
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
    execute_process(COMMAND ${CMAKE_COMMAND} -DOUT=${out} -P ${STEP} RESULT_VARIABLE rc)
    file(READ ${out} text)
    if(NOT rc EQUAL 0 OR NOT text MATCHES "return \"${spelled}\";")
        message(FATAL_ERROR "epoch ${epoch}: expected \"${spelled}\" (exit ${rc}):\n${text}")
    endif()
endfunction()

expect_day(1462363199 "May  4 2016")  # 2016-05-04 11:59:59 UTC
expect_day(1483228799 "Dec 31 2016")  # a later day: the stamp follows it
