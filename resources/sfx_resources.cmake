# The stub's texts come from resources/texts.txt (UTF-8) alone; these rules
# generate, at build time, the Win32 resource script (string table and
# dialog 101 in Czech and English) or the console build's C++ tables.
set(QTK_SFX_TEXTS ${CMAKE_CURRENT_LIST_DIR}/texts.txt)
set(QTK_SFX_GEN ${CMAKE_CURRENT_LIST_DIR}/gen_texts.cmake)

# Generates `out` from the texts; MODE rc (resource script) or cpp (tables).
function(qtk_sfx_generate out mode what)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DIN=${QTK_SFX_TEXTS} -DOUT=${out} -DMODE=${mode} -P ${QTK_SFX_GEN}
    DEPENDS ${QTK_SFX_TEXTS} ${QTK_SFX_GEN}
    COMMENT "Generating the stub's ${what}"
    VERBATIM)
endfunction()

function(qtk_sfx_resource_script out)
  qtk_sfx_generate(${out} rc "resource script")
endfunction()

function(qtk_sfx_text_tables out)
  qtk_sfx_generate(${out} cpp "text tables")
endfunction()
