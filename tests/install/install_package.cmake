# Run with cmake -P: install, configure the consumer against the prefix, build it, run it.
foreach(variable TESSAL_BUILD_DIR PREFIX CONSUMER_SOURCE_DIR CONSUMER_BINARY_DIR GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "install_package.cmake needs -D${variable}=...")
  endif()
endforeach()
if(NOT TESSAL_CONFIG)
  set(TESSAL_CONFIG Release)
endif()

function(run_step description)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${description} failed (${result}):\n${output}")
  endif()
  message(STATUS "${description}: ok")
endfunction()

# Start from nothing so that a stale install cannot hide a missing file.
file(REMOVE_RECURSE ${PREFIX} ${CONSUMER_BINARY_DIR})

run_step("install into ${PREFIX}"
  ${CMAKE_COMMAND} --install ${TESSAL_BUILD_DIR} --prefix ${PREFIX} --config ${TESSAL_CONFIG})
run_step("configure consumer"
  ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE_DIR} -B ${CONSUMER_BINARY_DIR} -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=${TESSAL_CONFIG} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_PREFIX_PATH=${PREFIX}
    # The consumer is built with the same flags, so that an instrumented build
    # (sanitizers, coverage) links against its instrumented libraries.
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
run_step("build consumer" ${CMAKE_COMMAND} --build ${CONSUMER_BINARY_DIR})
run_step("run consumer" ${CONSUMER_BINARY_DIR}/tessal_consumer)
