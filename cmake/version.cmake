# Reads the release number from python/vamra/_version.py, the one place it is
# written, so that the Python package, its wheel and the C++ package agree.
# Sets VAMRA_VERSION (the full text, for vamra.pc and vamra/version.hpp) and
# VAMRA_VERSION_NUMERIC (MAJOR.MINOR.PATCH, for project() and the CMake
# package's version file). Included before project().
set(_vamra_version_file "${CMAKE_CURRENT_LIST_DIR}/../python/vamra/_version.py")
file(STRINGS "${_vamra_version_file}" _vamra_version_line
     REGEX "^__version__ = \"[^\"]+\"$" LIMIT_COUNT 1)
if(NOT _vamra_version_line MATCHES "\"(([0-9]+)\\.([0-9]+)\\.([0-9]+)[^\"]*)\"")
  message(FATAL_ERROR "no __version__ = \"MAJOR.MINOR.PATCH...\" line in ${_vamra_version_file}")
endif()
set(VAMRA_VERSION "${CMAKE_MATCH_1}")
set(VAMRA_VERSION_NUMERIC "${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.${CMAKE_MATCH_4}")
# Reconfigure when the number changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_vamra_version_file}")
unset(_vamra_version_file)
unset(_vamra_version_line)
