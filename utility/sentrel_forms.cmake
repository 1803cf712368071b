# sentrel_forms: the four window layouts and their pictures (host only; the
# Qt program for Windows needs a Qt kit for Windows).
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  return()
endif()

find_package(Qt6 REQUIRED COMPONENTS Widgets)

add_library(sentrel_forms STATIC
  forms/artwork.cpp
  forms/form_support.cpp
  forms/radio_group.cpp
  forms/gate_form.cpp
  forms/main_form.cpp
  forms/alert_form.cpp
  forms/config_form.cpp
  forms/artwork.qrc)
set_target_properties(sentrel_forms PROPERTIES AUTOMOC ON AUTORCC ON)
target_include_directories(sentrel_forms PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(sentrel_forms PUBLIC Qt6::Widgets)

# The artwork generator: tools/dev/make-artwork.sh builds and runs it.
add_executable(sentrel_artwork EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/tools/artwork/make_artwork.cpp)
target_link_libraries(sentrel_artwork PRIVATE Qt6::Gui)
