# MPI for taluna-render (Debian: openmpi-bin libopenmpi-dev). Only the tool links it, never the libraries:
# a host application that loads libtaluna.so brings its own MPI or none. Global, so that the tool's tests
# link the same MPI (taluna::mpi).
string(TOUPPER "${TALUNA_MPI}" taluna_mpi_mode)
if(NOT taluna_mpi_mode MATCHES "^(AUTO|ON|OFF)$")
  message(FATAL_ERROR "TALUNA_MPI must be AUTO, ON or OFF, not '${TALUNA_MPI}'")
endif()
set(TALUNA_WITH_MPI OFF)
if(NOT taluna_mpi_mode STREQUAL "OFF")
  if(taluna_mpi_mode STREQUAL "ON")
    find_package(MPI COMPONENTS C GLOBAL)
    if(NOT MPI_C_FOUND)
      message(FATAL_ERROR "TALUNA_MPI=ON but no MPI was found: install openmpi-bin and libopenmpi-dev "
                          "(scripts/setup.sh), or configure with -DTALUNA_MPI=OFF")
    endif()
  else()
    find_package(MPI QUIET COMPONENTS C GLOBAL)
  endif()
  set(TALUNA_WITH_MPI ${MPI_C_FOUND})
endif()

if(TALUNA_WITH_MPI)
  # The C interface from C++: without these, Open MPI's and MPICH's mpi.h pull in their C++ bindings, whose
  # library MPI::MPI_C does not link.
  add_library(taluna_mpi INTERFACE)
  add_library(taluna::mpi ALIAS taluna_mpi)
  target_link_libraries(taluna_mpi INTERFACE MPI::MPI_C)
  target_compile_definitions(taluna_mpi INTERFACE TALUNA_WITH_MPI=1 OMPI_SKIP_MPICXX=1 MPICH_SKIP_MPICXX=1)
  # What mpirun needs to start the tests' ranks wherever the suite runs, and what a user in a container
  # needs too: Open MPI refuses to start as root (the usual user in a container) without
  # --allow-run-as-root, and refuses more ranks than cores without --oversubscribe. --bind-to none: Open MPI
  # binds each of a few ranks to one core, where the rank's OpenMP and frame writer threads would all share it.
  execute_process(COMMAND ${MPIEXEC_EXECUTABLE} --version OUTPUT_VARIABLE TALUNA_MPIEXEC_VERSION ERROR_QUIET)
  set(TALUNA_DEFAULT_MPIEXEC_FLAGS)
  if(TALUNA_MPIEXEC_VERSION MATCHES "Open MPI|OpenRTE")
    set(TALUNA_DEFAULT_MPIEXEC_FLAGS --allow-run-as-root --oversubscribe --bind-to none)
  endif()
  set(TALUNA_MPIEXEC_FLAGS "${TALUNA_DEFAULT_MPIEXEC_FLAGS}" CACHE STRING
      "Flags the tests give ${MPIEXEC_EXECUTABLE} before the program (a list)")
  message(STATUS "MPI ${MPI_C_VERSION}: taluna-render also runs as ranks under ${MPIEXEC_EXECUTABLE}")
elseif(taluna_mpi_mode STREQUAL "OFF")
  message(STATUS "MPI: off (TALUNA_MPI=OFF): taluna-render runs as one process")
else()
  message(STATUS "MPI: not found (openmpi-bin, libopenmpi-dev): taluna-render runs as one process")
endif()
