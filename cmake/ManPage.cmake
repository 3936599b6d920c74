# Writes a program's manual page from its own --help and --version (with
# help2man), so that the page and --help cannot say different things; the
# sections that --help has no room for (environment, files, examples, see
# also) come from INCLUDE. Run with cmake -P:
#   -DPROGRAM=<built program> -DINCLUDE=<.h2m file> -DOUT=<page.1.gz>
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
get_filename_component(name "${OUT}" NAME_WLE)
set(raw "${OUT}.raw")
# Standard input closed: help2man otherwise hands its own to the program.
execute_process(COMMAND ${HELP2MAN} --no-info --section=1 --include=${INCLUDE} --output=${raw} ${PROGRAM}
                INPUT_FILE /dev/null RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "help2man failed on ${PROGRAM}")
endif()
file(READ "${raw}" page)
# --help's own headings become the page's sections: "Exit status:" is the
# EXIT STATUS section, and the option groups sit under OPTIONS.
string(REPLACE ".SS \"Exit status:\"" ".SH \"EXIT STATUS\"" page "${page}")
if(NOT page MATCHES "\n\\.SH OPTIONS")
  string(FIND "${page}" "\n.SS " first_group)
  if(first_group GREATER -1)
    string(SUBSTRING "${page}" 0 ${first_group} head)
    string(SUBSTRING "${page}" ${first_group} -1 tail)
    set(page "${head}\n.SH OPTIONS${tail}")
  endif()
endif()
# No date: the same sources give the same page.
string(REGEX REPLACE "(\n\\.TH [^\"]*\"[^\"]*\") \"[^\"]*\"" "\\1 \"\"" page "${page}")
file(WRITE "${raw}" "${page}")
execute_process(COMMAND ${GZIP} -9 -n -c ${raw} OUTPUT_FILE ${OUT} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip failed on ${raw}")
endif()
file(REMOVE "${raw}")
