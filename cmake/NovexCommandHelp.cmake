# Writes a help2man include file whose [COMMANDS] section holds the --help of each
# subcommand, so the manual page covers every one and cannot drift from the program.
# Run as: cmake -DPROGRAM=wrapper -DOUTPUT=file.h2m -DCOMMANDS="history|history events" -P this
string(REPLACE "|" ";" COMMANDS "${COMMANDS}")
set(text "[COMMANDS]\n")
foreach(command IN LISTS COMMANDS)
  separate_arguments(words UNIX_COMMAND "${command}")
  execute_process(COMMAND ${PROGRAM} ${words} --help
                  OUTPUT_VARIABLE help ERROR_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${command} --help failed: ${help}")
  endif()
  # roff: backslashes doubled, and a line may not start with a dot or an apostrophe.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND text ".SS \"vimohost ${command}\"\n.nf\n${help}.fi\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
