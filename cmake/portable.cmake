# Portable extension modules, for the wheel handed to other machines
# (scripts/wheel.sh). The C++ runtime is linked into each module, so the module
# runs beside an older libstdc++ than the one it was built with, and each module
# exports only its init function, so that its copy of the runtime, of the codec
# and of anything else it carries never binds to another library's symbols.
# LZ4 and xxHash stay shared libraries, copied into the wheel by auditwheel
# repair: Debian's libxxhash.a lacks the run-time dispatching entry points
# (XXH3_*_dispatch) that the codec calls on x86.
option(VAMRA_PORTABLE "Link the C++ runtime into the extension modules and export only their init functions" OFF)

if(VAMRA_PORTABLE)
  # Applies to every extension module defined after this point. libgcc stays
  # shared: its static unwinder needs a newer C library than the rest. Sections
  # nothing reaches are dropped, which keeps the C++ runtime's std::random_device
  # (and its demand for a newer C library) out of the module.
  set(_module "$<STREQUAL:$<TARGET_PROPERTY:TYPE>,MODULE_LIBRARY>")
  add_link_options(
    "$<${_module}:-static-libstdc++>"
    "$<${_module}:LINKER:--exclude-libs,ALL>"
    "$<${_module}:LINKER:--gc-sections>"
    "$<${_module}:LINKER:--version-script=${CMAKE_CURRENT_LIST_DIR}/extension.map>")
  unset(_module)
endif()
