include(CMakePackageConfigHelpers)

install(TARGETS qelcore EXPORT QelCoreTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qel
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(QEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QelCore)
install(EXPORT QelCoreTargets NAMESPACE QelCore:: DESTINATION ${QEL_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QelCoreConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QelCoreConfig.cmake
                              INSTALL_DESTINATION ${QEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QelCoreConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QelCoreConfig.cmake
              ${PROJECT_BINARY_DIR}/QelCoreConfigVersion.cmake
        DESTINATION ${QEL_CMAKE_DIR})

# qelcore.pc finds the prefix from its own place (${pcfiledir}), so that the
# installed tree works wherever `cmake --install --prefix` put it.  Absolute
# library or include directories stay as they are.
set(_qel_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(QEL_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(QEL_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
else()
  file(RELATIVE_PATH _qel_pc_up /${_qel_pc_dir} /)
  string(REGEX REPLACE "/$" "" _qel_pc_up "${_qel_pc_up}")
  set(QEL_PC_PREFIX "\${pcfiledir}/${_qel_pc_up}")
  set(QEL_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE ${CMAKE_INSTALL_INCLUDEDIR})
  set(QEL_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
else()
  set(QEL_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/qelcore.pc.in ${PROJECT_BINARY_DIR}/qelcore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qelcore.pc DESTINATION ${_qel_pc_dir})
