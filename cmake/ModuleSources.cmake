# The module's sources, for the Linux library and the Windows DLL alike: all but the loader
# glue, which differs per system (src/frame/module_elf.cpp, dllmain.cpp, windows_exports.cpp).
set(QWF_MODULE_SOURCES
  ${PROJECT_SOURCE_DIR}/src/display/trace_panel.cpp
  ${PROJECT_SOURCE_DIR}/src/frame/module.cpp
  ${PROJECT_SOURCE_DIR}/src/playback/playback.cpp
  ${PROJECT_SOURCE_DIR}/src/recording/recording.cpp
  ${PROJECT_SOURCE_DIR}/src/wav/wav_header.cpp)
