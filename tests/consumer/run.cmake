# Configures, builds and runs the consumer program; MODE is "package" (install
# the engine into a private prefix, then find_package) or "subdirectory".
set(work ${BINARY_DIR}/consumer-${MODE})
file(REMOVE_RECURSE ${work})
if(MODE STREQUAL "package")
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${ENGINE_BINARY_DIR} --prefix ${work}/prefix
                  RESULT_VARIABLE rc OUTPUT_QUIET)
  if(rc)
    message(FATAL_ERROR "installing the engine failed")
  endif()
  set(configure -DCMAKE_PREFIX_PATH=${work}/prefix)
else()
  set(configure -DTEXENGINE_SOURCE=${SOURCE_DIR})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${work}/build ${configure}
                        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
                RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "configuring the consumer failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${work}/build RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building the consumer failed")
endif()
execute_process(COMMAND ${work}/build/consumer RESULT_VARIABLE rc OUTPUT_VARIABLE out)
message(STATUS "consumer printed: ${out}")
if(rc OR NOT out MATCHES "^10 20 30 colorLayer")
  message(FATAL_ERROR "the consumer did not build the expected pixel")
endif()
