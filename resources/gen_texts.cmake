# Generates the stub's texts from texts.txt (UTF-8), at build time.
#   cmake -DIN=texts.txt -DOUT=file -DMODE=rc|cpp [-DMANIFEST=qtksfx.manifest] -P gen_texts.cmake
# rc:  the resource script (string table and dialog 101, Czech and English);
#      windres reads it as UTF-8 through its code_page pragma. With
#      MANIFEST, also the application manifest (type 24, id 1), written
#      beside OUT without the whitespace between its elements: the stub is
#      size-bound, and qtk reads and rewrites the manifest as it stands.
# cpp: the same texts as C++ tables, for the console build.
cmake_minimum_required(VERSION 3.25)

file(STRINGS "${IN}" lines ENCODING UTF-8)
set(langs en cs)
foreach(line IN LISTS lines)
  if(line MATCHES "^#" OR line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^(en|cs)\t([0-9a-z.]+)\t(.*)$")
    message(FATAL_ERROR "texts.txt: malformed line: ${line}")
  endif()
  set(lang ${CMAKE_MATCH_1})
  set(key ${CMAKE_MATCH_2})
  set(text "${CMAKE_MATCH_3}")
  if(DEFINED T_${lang}_${key})
    message(FATAL_ERROR "texts.txt: ${lang} ${key} given twice")
  endif()
  set(T_${lang}_${key} "${text}")
endforeach()

set(dlg_keys caption wait cancel version product)
foreach(lang IN LISTS langs)
  foreach(id RANGE 1 31)
    if(NOT DEFINED T_${lang}_${id})
      message(FATAL_ERROR "texts.txt: ${lang} ${id} is missing")
    endif()
  endforeach()
  foreach(k IN LISTS dlg_keys)
    if(NOT DEFINED T_${lang}_dlg.${k})
      message(FATAL_ERROR "texts.txt: ${lang} dlg.${k} is missing")
    endif()
  endforeach()
endforeach()

function(rc_text out text)
  # Resource scripts double a quote instead of escaping it.
  string(REPLACE "\\\"" "\"\"" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "rc")
  set(o "// Generated from texts.txt; edit that file instead.\n#pragma code_page(65001)\n")
  if(DEFINED MANIFEST)
    file(READ "${MANIFEST}" m)
    string(REGEX REPLACE ">[ \t\r\n]+<" "><" m "${m}")
    string(STRIP "${m}" m)
    get_filename_component(dir "${OUT}" DIRECTORY)
    file(WRITE "${dir}/qtksfx.manifest.tmp" "${m}")
    file(COPY_FILE "${dir}/qtksfx.manifest.tmp" "${dir}/qtksfx.manifest" ONLY_IF_DIFFERENT)
    file(REMOVE "${dir}/qtksfx.manifest.tmp")
    # No language of its own: Windows reads manifest 1 whatever the locale.
    string(APPEND o "\nLANGUAGE 0, 0\n1 24 \"${dir}/qtksfx.manifest\"\n")
  endif()
  # 1033 = LANG_ENGLISH (9) / SUBLANG_ENGLISH_US (1); 1029 = LANG_CZECH (5) / SUBLANG_DEFAULT (1).
  foreach(lang IN LISTS langs)
    if(lang STREQUAL "en")
      string(APPEND o "\nLANGUAGE 9, 1\n")
    else()
      string(APPEND o "\nLANGUAGE 5, 1\n")
    endif()
    string(APPEND o "STRINGTABLE\nBEGIN\n")
    foreach(id RANGE 1 31)
      rc_text(t "${T_${lang}_${id}}")
      string(APPEND o "  ${id}, ${t}\n")
    endforeach()
    string(APPEND o "END\n\n")
    rc_text(cap "${T_${lang}_dlg.caption}")
    rc_text(wait "${T_${lang}_dlg.wait}")
    rc_text(ver "${T_${lang}_dlg.version}")
    rc_text(cancel "${T_${lang}_dlg.cancel}")
    rc_text(prod "${T_${lang}_dlg.product}")
    string(APPEND o "101 DIALOG 10, 20, 303, 122\n"
      "STYLE 0x90C008C4\n"
      "CAPTION ${cap}\n"
      "FONT 8, \"MS Sans Serif\"\n"
      "BEGIN\n"
      "  CONTROL \"\", 404, \"EDIT\", 0x50800905, 8, 26, 288, 45\n"
      "  CONTROL ${wait}, -1, \"STATIC\", 0x50020001, 5, 8, 292, 9\n"
      "  CONTROL ${ver}, -1, \"STATIC\", 0x50020002, 203, 109, 92, 8\n"
      "  CONTROL ${cancel}, 1002, \"BUTTON\", 0x50010000, 109, 100, 85, 13\n"
      "  CONTROL ${prod}, -1, \"STATIC\", 0x50020000, 7, 109, 95, 8\n"
      "END\n")
  endforeach()
elseif(MODE STREQUAL "cpp")
  set(o "// Generated from texts.txt; edit that file instead.\n#include \"sfx_texts.h\"\n\n")
  string(APPEND o "const char* const sfx_texts[2][32] = {\n")
  foreach(lang IN LISTS langs)
    string(APPEND o "  {\n    \"\",\n")
    foreach(id RANGE 1 31)
      string(APPEND o "    \"${T_${lang}_${id}}\",\n")
    endforeach()
    string(APPEND o "  },\n")
  endforeach()
  string(APPEND o "};\n\nconst char* const sfx_dialog_texts[2][5] = {\n")
  foreach(lang IN LISTS langs)
    string(APPEND o "  {")
    foreach(k IN LISTS dlg_keys)
      string(APPEND o "\"${T_${lang}_dlg.${k}}\", ")
    endforeach()
    string(APPEND o "},\n")
  endforeach()
  string(APPEND o "};\n")
else()
  message(FATAL_ERROR "MODE must be rc or cpp")
endif()

# Only touch the output when it changes, so that nothing rebuilds needlessly.
file(WRITE "${OUT}.tmp" "${o}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
