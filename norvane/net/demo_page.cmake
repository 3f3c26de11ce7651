# Compiles net/demo/index.html into the library as the string g_res_demo.
set(NORVANE_DEMO_HTML ${CMAKE_CURRENT_SOURCE_DIR}/net/demo/index.html)
set(NORVANE_DEMO_CPP ${CMAKE_CURRENT_BINARY_DIR}/demo_page.cpp)
add_custom_command(
  OUTPUT ${NORVANE_DEMO_CPP}
  COMMAND ${CMAKE_COMMAND} -DIN=${NORVANE_DEMO_HTML} -DOUT=${NORVANE_DEMO_CPP}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/net/embed_page.cmake
  DEPENDS ${NORVANE_DEMO_HTML} ${CMAKE_CURRENT_SOURCE_DIR}/net/embed_page.cmake
  COMMENT "Embedding the demo page")
list(APPEND NORVANE_GENERATED_SOURCES ${NORVANE_DEMO_CPP})
