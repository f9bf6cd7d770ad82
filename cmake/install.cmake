# Installs the codec for C++ programs: its headers (vamra/*.hpp), the static
# library, a CMake package exporting vamra::codec, and vamra.pc. Consumers find
# LZ4 and xxHash through pkg-config, as this build does.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VAMRA_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/vamra")
set(VAMRA_PKGCONFIG_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

install(TARGETS vamra_codec EXPORT vamraTargets
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
        INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/codec/include/vamra" "${PROJECT_BINARY_DIR}/include/vamra"
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
        FILES_MATCHING PATTERN "*.hpp")
install(EXPORT vamraTargets NAMESPACE vamra:: DESTINATION "${VAMRA_CMAKE_DIR}")

configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/vamraConfig.cmake.in"
                              "${PROJECT_BINARY_DIR}/vamraConfig.cmake"
                              INSTALL_DESTINATION "${VAMRA_CMAKE_DIR}")
# The wire format and the headers may still change between 0.x minor releases.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/vamraConfigVersion.cmake"
                                 VERSION "${VAMRA_VERSION_NUMERIC}"
                                 COMPATIBILITY SameMinorVersion)
install(FILES "${PROJECT_BINARY_DIR}/vamraConfig.cmake" "${PROJECT_BINARY_DIR}/vamraConfigVersion.cmake"
        DESTINATION "${VAMRA_CMAKE_DIR}")

# vamra.pc locates the prefix from its own directory, so an installed tree can
# be moved.
file(RELATIVE_PATH VAMRA_PC_TO_PREFIX "/prefix/${VAMRA_PKGCONFIG_DIR}" "/prefix")
string(REGEX REPLACE "/$" "" VAMRA_PC_TO_PREFIX "${VAMRA_PC_TO_PREFIX}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/vamra.pc.in" "${PROJECT_BINARY_DIR}/vamra.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/vamra.pc" DESTINATION "${VAMRA_PKGCONFIG_DIR}")
