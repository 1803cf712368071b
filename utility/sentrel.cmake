# The program: start-up, the window classes and their behaviour, on the Win32
# modules (sentrel_core) and the window layouts (sentrel_forms). Qt for
# Windows is not on these machines, so only the host builds it; the Windows
# file of the per-platform pair is chosen the same way when a kit is there.
if(NOT TARGET sentrel_core OR NOT TARGET sentrel_forms)
  return()
endif()
find_package(Qt6 REQUIRED COMPONENTS Widgets)

if(WIN32)
  set(sentrel_system_events main/system_events_windows.cpp)
else()
  set(sentrel_system_events main/system_events_host.cpp)
endif()

# Everything but the entry, so that tests drive the windows in process.
add_library(sentrel_app STATIC
  main/main_window.cpp
  main/gate_window.cpp
  main/caption_tables.cpp
  ${sentrel_system_events}
  dialogs/alert_window.cpp
  dialogs/config_dialog.cpp
)
set_target_properties(sentrel_app PROPERTIES AUTOMOC ON)
target_include_directories(sentrel_app PUBLIC main dialogs)
target_link_libraries(sentrel_app PUBLIC sentrel_core sentrel_forms Qt6::Widgets)
if(WIN32)
  target_link_libraries(sentrel_app PUBLIC wtsapi32)
endif()

add_executable(sentrel main/main.cpp)
target_link_libraries(sentrel PRIVATE sentrel_app)

# A developer's tool: the program's windows rendered to PNG at their layout
# sizes (tools/dev/screenshots.sh runs it against a notebook of its own).
add_executable(sentrel_snapshot ${PROJECT_SOURCE_DIR}/tools/dev/sentrel_snapshot.cpp)
target_link_libraries(sentrel_snapshot PRIVATE sentrel_app)
