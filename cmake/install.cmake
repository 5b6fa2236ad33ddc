# cmake --install: header, both libraries (versioned), the renderer tool, a CMake package giving
# taluna::taluna and taluna::taluna_cpu, and pkg-config files.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TALUNA_INSTALL_TARGETS taluna_cpu)
if(TALUNA_CUDA)
  list(APPEND TALUNA_INSTALL_TARGETS taluna)
endif()
foreach(t ${TALUNA_INSTALL_TARGETS})
  target_include_directories(${t} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

install(TARGETS ${TALUNA_INSTALL_TARGETS} EXPORT talunaTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/taluna.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT talunaTargets NAMESPACE taluna:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/taluna)

configure_package_config_file(cmake/talunaConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/talunaConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/taluna)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/talunaConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/talunaConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/talunaConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/taluna)

# Relocatable: the prefix is found from the .pc file's own folder, so `cmake --install --prefix` works.
file(RELATIVE_PATH TALUNA_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" TALUNA_PC_TO_PREFIX "${TALUNA_PC_TO_PREFIX}")
foreach(t ${TALUNA_INSTALL_TARGETS})
  set(TALUNA_PC_LIBNAME ${t})
  configure_file(cmake/taluna.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${t}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${t}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# The tool looks for the libraries in this folder relative to its own.
file(RELATIVE_PATH TALUNA_TOOL_TO_LIBDIR ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
