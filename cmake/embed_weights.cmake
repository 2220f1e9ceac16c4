# Writes OUTPUT: a C++ source holding every weights/<name>.eisnn file named in
# MODELS (semicolon-separated) as a constant byte array, and
# zetrion::builtin_weights(name) to find it. A model without a file gets an
# empty array. Run with: cmake -DWEIGHTS_DIR=... -DMODELS=... -DOUTPUT=... -P
set(out "// Generated at build time from the weights folder; do not edit.\n")
string(APPEND out "#include <span>\n#include <string_view>\n\nnamespace zetrion {\nnamespace {\n")
set(lookup "")
foreach(name IN LISTS MODELS)
  set(file "${WEIGHTS_DIR}/${name}.eisnn")
  if(EXISTS "${file}")
    file(READ "${file}" hex HEX)
    string(LENGTH "${hex}" len)
    math(EXPR bytes "${len} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
    string(APPEND out "const unsigned char k_${name}[${bytes}] = {${body}};\n")
    string(APPEND lookup "    if (name == \"${name}\") return {k_${name}, ${bytes}};\n")
  endif()
endforeach()
string(APPEND out "}  // namespace\n\nstd::span<const unsigned char> builtin_weights(std::string_view name) {\n")
string(APPEND out "${lookup}    (void)name;\n    return {};\n}\n\n}  // namespace zetrion\n")
file(WRITE "${OUTPUT}.tmp" "${out}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
