# Fails on a lambda inside a co_await expression that captures anything by copy but
# `this`: GCC 12 destroys such a closure twice, and a copied shared pointer or string
# there drops a count it never took. Capture by reference (the coroutine's frame holds
# the object during the wait) or name the lambda before the co_await.
# Run as: cmake -DROOT=<source folder> -P coroutines.cmake
cmake_policy(SET CMP0007 NEW)
include(${CMAKE_CURRENT_LIST_DIR}/sourcecheck.cmake)
set(failures "")
file(GLOB_RECURSE files ${ROOT}/*.cpp ${ROOT}/*.h)
list(FILTER files EXCLUDE REGEX "/build[^/]*/|/\\.")
foreach(file ${files})
    file(STRINGS ${file} lines REGEX "co_await")
    foreach(line ${lines})
        string(REGEX MATCHALL "\\[[^]]*\\] *[({]" lambdas "${line}")
        foreach(lambda ${lambdas})
            string(REGEX REPLACE "^\\[([^]]*)\\].*" "\\1" captures "${lambda}")
            string(REPLACE "," ";" captures "${captures}")
            foreach(capture ${captures})
                string(STRIP "${capture}" capture)
                if(NOT capture MATCHES "^(this|&[A-Za-z0-9_]*)$" AND NOT capture STREQUAL "")
                    file(RELATIVE_PATH name ${ROOT} ${file})
                    list(APPEND failures "${name}: ${lambda}")
                endif()
            endforeach()
        endforeach()
    endforeach()
endforeach()
fail_on_places("${failures}" "Lambdas in a co_await expression that capture by copy")
