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

configure_file(${PROJECT_SOURCE_DIR}/cmake/qelcore.pc.in ${PROJECT_BINARY_DIR}/qelcore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qelcore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
