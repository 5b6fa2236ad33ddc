# A run in which rank 1 fails must end every rank, with a non-zero exit and, where rank 1 lived to print it,
# its message: agreed (the ranks learn of it through agree() and end together), thrown (rank 1 leaves while
# rank 0 waits in agree()), killed (rank 1 dies of a signal). A hang runs into the timeout and fails.
#   cmake -DMPIEXEC=mpirun -DFLAGS=a,b -DPROGRAM=taluna_ranks_tests -P ranks_exit.cmake
cmake_minimum_required(VERSION 3.24)
string(REPLACE "," ";" FLAGS "${FLAGS}")
foreach(how agreed thrown killed)
  execute_process(COMMAND ${MPIEXEC} ${FLAGS} -n 2 ${PROGRAM} --exit ${how} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 30)
  if(NOT rc MATCHES "^[1-9][0-9]*$")
    message(FATAL_ERROR "${how}: mpirun ended with '${rc}', not a failure:\n${output}")
  endif()
  string(REGEX MATCHALL "ranks_test: rank 1: broken file" messages_agreed "${output}")
  string(REGEX MATCHALL "ranks_test: broken file" messages_thrown "${output}")
  list(LENGTH messages_${how} messages)
  if((how STREQUAL "agreed" AND NOT messages EQUAL 2) OR (how STREQUAL "thrown" AND NOT messages EQUAL 1))
    message(FATAL_ERROR "${how}: ${messages} of the failing rank's messages in:\n${output}")
  endif()
  message(STATUS "${how}: mpirun exit ${rc}")
endforeach()
