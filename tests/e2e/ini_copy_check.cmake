# The zorv.ini beside the daemon follows the repository's: ninja builds the
# copy from the repository's file (so the next build after an edit copies it
# again, relink or not), and after this build the two are equal.
# cmake -DNINJA=... -DBUILD_DIR=... -DCOPY=... -DSOURCE=... -P ini_copy_check.cmake
file(RELATIVE_PATH copy_rel ${BUILD_DIR} ${COPY})
execute_process(COMMAND ${NINJA} -C ${BUILD_DIR} -t query ${copy_rel}
                OUTPUT_VARIABLE query RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${copy_rel} is not built from anything: ${err}${query}")
endif()
string(REGEX MATCH "input:[^\n]*\n([^\n]*\n)*  outputs:" inputs "${query}")
string(FIND "${inputs}" "${SOURCE}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${copy_rel} is not made from ${SOURCE}:\n${query}")
endif()
file(READ ${SOURCE} want)
file(READ ${COPY} got)
if(NOT want STREQUAL got)
  message(FATAL_ERROR "${COPY} differs from ${SOURCE}")
endif()
