# The genuine Windows DLL, QuorvelWaveForm.dll with its import library, built from the same
# module sources as the Linux library against the system's winmm and gdi32, and the Windows
# test programs. Included by the top-level CMakeLists.txt when the target is Windows.
enable_language(RC)

set(QWF_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Wformat=2
    -Werror)

# No compiler runtime DLL beside ours: libgcc, libstdc++ and winpthread are linked in.
add_link_options(-static)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # SSE2 doubles, as on x86_64, so the trace rows match bit for bit; x87's extended
  # precision would round some rows differently.
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-msse2;-mfpmath=sse>")
endif()

set(QWF_FRAME_DIR ${PROJECT_SOURCE_DIR}/src/frame)
include(${PROJECT_SOURCE_DIR}/cmake/ModuleSources.cmake)

add_library(QuorvelWaveForm SHARED
  ${QWF_MODULE_SOURCES}
  ${QWF_FRAME_DIR}/dllmain.cpp
  ${QWF_FRAME_DIR}/windows_exports.cpp
  ${QWF_FRAME_DIR}/QuorvelWaveForm.def
  ${QWF_FRAME_DIR}/QuorvelWaveForm.rc)
target_include_directories(QuorvelWaveForm PRIVATE
  ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
# UNICODE makes TEXT("...") a wide L"..." literal, as the module expects.
target_compile_definitions(QuorvelWaveForm PRIVATE UNICODE _UNICODE QWF_BUILDING_MODULE)
target_compile_options(QuorvelWaveForm PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${QWF_WARNINGS} -fno-exceptions -fno-rtti>)
target_link_libraries(QuorvelWaveForm PRIVATE winmm gdi32)
# QuorvelWaveForm.dll and libQuorvelWaveForm.dll.a; the exports come from the .def file alone.
set_target_properties(QuorvelWaveForm PROPERTIES PREFIX "" IMPORT_PREFIX "lib")

# A host linked against the import library: the public header's declarations, the calling
# convention and the import library's names must agree for it to link at all.
add_executable(qwf_import_client ${PROJECT_SOURCE_DIR}/tests/windows/import_client.cpp)
target_include_directories(qwf_import_client PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_options(qwf_import_client PRIVATE ${QWF_WARNINGS})
target_link_libraries(qwf_import_client PRIVATE QuorvelWaveForm)

# Plays one file and holds it until told, while tests/windows/gap_check.py records the sink.
add_executable(qwf_gap_player ${PROJECT_SOURCE_DIR}/tests/windows/gap_player.cpp)
target_include_directories(qwf_gap_player PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(qwf_gap_player PRIVATE UNICODE _UNICODE)
target_compile_options(qwf_gap_player PRIVATE ${QWF_WARNINGS})
target_link_libraries(qwf_gap_player PRIVATE QuorvelWaveForm)
target_link_options(qwf_gap_player PRIVATE -municode)  # wide wmain

# The Windows test host: loads the DLL at run time and drives it through Wine's audio and GDI.
add_executable(qwf_wine_host ${PROJECT_SOURCE_DIR}/tests/windows/wine_host.cpp)
target_include_directories(qwf_wine_host PRIVATE
  ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/tests/windows)
target_compile_definitions(qwf_wine_host PRIVATE UNICODE _UNICODE)
target_compile_options(qwf_wine_host PRIVATE ${QWF_WARNINGS})
target_link_libraries(qwf_wine_host PRIVATE winmm gdi32 version)
target_link_options(qwf_wine_host PRIVATE -municode)  # wide wmain
add_dependencies(qwf_wine_host QuorvelWaveForm)
