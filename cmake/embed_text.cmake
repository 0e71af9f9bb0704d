# cmake -DIN=FILE -DOUT=FILE.cpp -DNAMESPACE=NS -DNAME=SYMBOL -P embed_text.cmake
# Writes a source file that defines `extern const char NS::SYMBOL[]` holding the bytes of IN, so
# that a data file kept in the repository travels inside the program that reads it.
file(READ "${IN}" content)
set(delimiter "rxp_embedded")
string(FIND "${content}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${IN} holds the raw string's delimiter )${delimiter}\"")
endif()
file(WRITE "${OUT}.new"
    "// Made from ${IN} by embed_text.cmake; edit that file instead.\n"
    "namespace ${NAMESPACE} {\n"
    "extern const char ${NAME}[];\n"
    "const char ${NAME}[] = R\"${delimiter}(${content})${delimiter}\";\n"
    "}\n")
# Unchanged content leaves the file alone, and what is built from it.
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
