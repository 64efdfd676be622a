# Imported targets for static libraries described by pkg-config files under one prefix, with the
# private dependencies a static link needs (pkg-config --static), under the names that
# pkg_check_modules(... IMPORTED_TARGET) gives in the native build, so the components link alike.
find_program(TESSARYN_PKG_CONFIG NAMES pkg-config REQUIRED)

function(tessaryn_static_pkg name prefix)
  set(_env ${CMAKE_COMMAND} -E env "PKG_CONFIG_LIBDIR=${prefix}/lib/pkgconfig" PKG_CONFIG_PATH=
           PKG_CONFIG_SYSROOT_DIR=)
  foreach(_what cflags libs)
    execute_process(COMMAND ${_env} ${TESSARYN_PKG_CONFIG} --static --${_what} ${ARGN}
                    OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _rc OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "pkg-config found no ${ARGN} under ${prefix}: ${_err}")
    endif()
    separate_arguments(_${_what} UNIX_COMMAND "${_out}")
  endforeach()
  # A C++ library's file names the shared libgcc, whose import library would make the program need
  # its DLL; the programs link the static one themselves (-static-libgcc).
  list(REMOVE_ITEM _libs -lgcc_s)
  add_library(PkgConfig::${name} INTERFACE IMPORTED GLOBAL)
  set_target_properties(PkgConfig::${name} PROPERTIES
    INTERFACE_COMPILE_OPTIONS "${_cflags}" INTERFACE_LINK_LIBRARIES "${_libs}")
  foreach(_module ${ARGN})
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 "${prefix}/lib/pkgconfig/${_module}.pc")
  endforeach()
endfunction()
