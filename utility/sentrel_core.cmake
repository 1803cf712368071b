# sentrel_core: Sentrel's modules that use only Win32 and the C/C++ runtime
# (captions, settings record, Administrators test, drive paths, driver client,
# readout arithmetic, QC report file, wait thread). No Qt. The host build links
# platform/user's client library; the Windows build (i686, mingw-w64's own
# headers) compiles the same sources against the real API. What differs is one
# file per platform.
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(sentrel_core_platform main/drive_path_windows.cpp)
else()
  set(sentrel_core_platform main/drive_path_host.cpp)
endif()

set(sentrel_core_dir ${CMAKE_CURRENT_LIST_DIR})
list(TRANSFORM sentrel_core_platform PREPEND ${sentrel_core_dir}/)
add_library(sentrel_core STATIC
  ${sentrel_core_dir}/main/administrator.cpp
  ${sentrel_core_dir}/main/caption_reader.cpp
  ${sentrel_core_dir}/main/captions.cpp
  ${sentrel_core_dir}/main/driver_client.cpp
  ${sentrel_core_dir}/main/readout.cpp
  ${sentrel_core_dir}/main/settings.cpp
  ${sentrel_core_dir}/main/test_report.cpp
  ${sentrel_core_dir}/dialogs/wait_thread.cpp
  ${sentrel_core_platform}
)
target_include_directories(sentrel_core PUBLIC
  ${sentrel_core_dir}
  ${sentrel_core_dir}/main
  ${sentrel_core_dir}/dialogs
  ${PROJECT_SOURCE_DIR})
set_target_properties(sentrel_core PROPERTIES POSITION_INDEPENDENT_CODE ON)

# A console program over the same modules: the Administrators test, the
# caption-file choice, one command to the driver, the wait thread's wakes.
add_executable(sentrel_probe ${sentrel_core_dir}/main/sentrel_probe.cpp)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  target_compile_options(sentrel_core PRIVATE -Wall -Wextra -Wno-unused-parameter)
  target_link_libraries(sentrel_core PUBLIC advapi32)
  target_link_libraries(sentrel_probe PRIVATE sentrel_core)
  target_link_options(sentrel_probe PRIVATE -static)
else()
  find_package(Threads REQUIRED)
  target_link_libraries(sentrel_core PUBLIC win32host Threads::Threads)
  target_link_libraries(sentrel_probe PRIVATE sentrel_core)
endif()
