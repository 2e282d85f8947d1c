# Writes the module types' table (module-memory.tsv) into a C++ source as one string, so the
# program reads the very file the repository keeps. IN: the table; OUT: the source.
file(READ ${IN} text)
if(text MATCHES "\\)tsv\"")
  message(FATAL_ERROR "${IN} holds the raw string's end")
endif()
file(WRITE ${OUT} "// Made from modules/module-memory.tsv by modules/embed_types.cmake.\n"
                  "namespace tessel {\nextern const char kModuleMemoryTable[];\n"
                  "const char kModuleMemoryTable[] = R\"tsv(${text})tsv\";\n}  // namespace tessel\n")
