# The Windows x64 build (cross-compiled with cmake/mingw-w64-x86_64.cmake): the programs over the
# Windows platform layers, and the programs the tests run them with under wine. FFmpeg, Python and
# OpenCV for Windows are not at hand here, so the reading modules and wancapture's network side are
# not part of it; wancapture's Windows-only pieces are built into a test program instead.
set(_src ${PROJECT_SOURCE_DIR})
find_program(TESSARYN_HOST_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)  # draws the icon
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
# GCC 12 sees an overlap in libstdc++'s own string concatenation when inlined for this target.
add_compile_options(-Wno-restrict)

# The publishing pieces both receivers share, over the Windows platform layer.
add_library(receivers_common STATIC
  ${_src}/receivers/common/json_writer.cpp
  ${_src}/receivers/common/atomic_file.cpp
  ${_src}/receivers/common/jpeg_encoder.cpp
  ${_src}/receivers/common/stop_request.cpp
  ${_src}/receivers/common/clock.cpp
  ${_src}/receivers/common/platform/windows.cpp
  ${_src}/receivers/common/platform/windows_library_loader.cpp
  ${_src}/receivers/common/platform/windows_single_instance.cpp)
target_include_directories(receivers_common PUBLIC ${_src})
target_link_libraries(receivers_common PUBLIC windowscodecs ole32 oleaut32 uuid)

# Tessaryn: the portable supervisor over the Windows platform, a GUI program with its icon.
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/icon/Tessaryn.ico
  COMMAND ${TESSARYN_HOST_PYTHON} ${_src}/launcher/make_icon.py ${CMAKE_CURRENT_BINARY_DIR}/icon/Tessaryn.ico
  DEPENDS ${_src}/launcher/make_icon.py)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/icon)
set_source_files_properties(${_src}/launcher/Tessaryn.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/icon/Tessaryn.ico)
add_executable(Tessaryn WIN32
  ${_src}/launcher/page_url.cpp
  ${_src}/launcher/launcher_files.cpp
  ${_src}/launcher/supervisor.cpp
  ${_src}/launcher/platform/windows/windows_platform.cpp
  ${_src}/launcher/platform/windows/main.cpp
  ${_src}/launcher/Tessaryn.rc)
target_include_directories(Tessaryn PRIVATE ${_src} ${CMAKE_CURRENT_BINARY_DIR}/icon)
target_link_options(Tessaryn PRIVATE -municode)
target_link_libraries(Tessaryn PRIVATE shell32 user32)

# lancapture: the same loop over the Windows layer.
set(_lan ${_src}/receivers/lancapture)
add_executable(lancapture
  ${_lan}/ndi_binding.cpp ${_lan}/documents.cpp ${_lan}/capture.cpp ${_lan}/control_loop.cpp ${_lan}/main.cpp)
target_link_libraries(lancapture PRIVATE receivers_common)
# The runtime double under the runtime's Windows name; dlfcn.h and a replacing rename() come from
# small Windows shims.
foreach(_variant full without_connections)
  add_library(ndi_double_${_variant} SHARED ${_src}/tests/ndi_double/ndi_double.cpp
    ${_src}/tests/windows/compat/replacing_rename.cpp)
  target_include_directories(ndi_double_${_variant} PRIVATE ${_src} ${_src}/tests/windows/compat)
  set_target_properties(ndi_double_${_variant} PROPERTIES OUTPUT_NAME Processing.NDI.Lib.x64 PREFIX ""
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/ndi_double/${_variant}/lib
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/ndi_double/${_variant})
endforeach()
target_compile_definitions(ndi_double_without_connections PRIVATE NDI_DOUBLE_WITHOUT_CONNECTIONS)

# What the tests run the programs with.
add_subdirectory(${_src}/tests/windows ${CMAKE_CURRENT_BINARY_DIR}/tests_windows)
