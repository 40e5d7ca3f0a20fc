# Makes a program's man page from its own help, at build time:
#   cmake -DPROGRAM=... -DNAME=... -DCOMMANDS="a;b" -DOUTPUT=... -P man.cmake
# help2man reads --help and --version; each command's --help goes into the
# page's COMMANDS section, so the page says what `COMMAND --help` says.
set(include_file ${OUTPUT}.include)
file(WRITE ${include_file} "[COMMANDS]\n")
foreach(command IN LISTS COMMANDS)
  execute_process(COMMAND ${PROGRAM} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE code)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${command} --help exited ${code}")
  endif()
  # roff: a line may not start with a dot or a quote; backslashes doubled.
  string(REPLACE "\\" "\\\\" help "${help}")
  file(APPEND ${include_file} ".SS ${NAME} ${command}\n.nf\n${help}.fi\n")
endforeach()
# The version is given, not asked: --version also names the library file
# of this build tree, which an installed page must not show.
execute_process(COMMAND help2man --no-info --section=1 --name=${DESCRIPTION} --include=${include_file}
                        "--version-string=${VERSION}"
                        --output=${OUTPUT} ${PROGRAM}
                RESULT_VARIABLE code ERROR_VARIABLE error)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "help2man for ${PROGRAM}: ${error}")
endif()
