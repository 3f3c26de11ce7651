# cmake -DIN=page.html -DOUT=page.cpp -P embed_page.cmake
# Writes the page as a C++ raw string; a page containing the delimiter is refused.
file(READ ${IN} page)
string(FIND "${page}" ")NVPAGE\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} contains the raw-string delimiter )NVPAGE\"")
endif()
file(WRITE ${OUT} "#include \"norvane/net/demo_page.h\"\n\nnamespace norvane {\n\nconst std::string g_res_demo = R\"NVPAGE(${page})NVPAGE\";\n\n}  // namespace norvane\n")
