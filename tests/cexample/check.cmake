# Checks the README's example: the code block equals examples/save-form.c,
# and the program built from it saves what a sample form uploads, safely.
#   cmake -DSOURCE_DIR=... -DPROGRAM=... -DEMULATOR=a|b|c -DWORK_DIR=...
#         -P check.cmake
cmake_minimum_required(VERSION 3.20)
# file(READ) drops CR bytes, so every comparison is made in hex.
# Offset (in hex digits) of the first whole-byte match of needle at or
# after start, or -1.
function(hex_find hex needle start out)
  string(HEX "${needle}" needle)
  while(TRUE)
    string(SUBSTRING "${hex}" ${start} -1 rest)
    string(FIND "${rest}" "${needle}" at)
    if(at LESS 0)
      set(${out} -1 PARENT_SCOPE)
      return()
    endif()
    math(EXPR at "${start} + ${at}")
    math(EXPR odd "${at} % 2")
    if(NOT odd)
      set(${out} ${at} PARENT_SCOPE)
      return()
    endif()
    math(EXPR start "${at} + 1")
  endwhile()
endfunction()

# The block follows the marker in README.md once the README carries it;
# until then it is in docs/readme/example.md.
set(marker "<!-- example:save-form -->")
set(from ${SOURCE_DIR}/docs/readme/example.md)
if(EXISTS ${SOURCE_DIR}/README.md)
  file(READ ${SOURCE_DIR}/README.md text HEX)
  hex_find("${text}" "${marker}" 0 at)
  if(at GREATER -1)
    set(from ${SOURCE_DIR}/README.md)
  endif()
endif()
file(READ ${from} text HEX)
hex_find("${text}" "${marker}" 0 at)
if(at LESS 0)
  set(at 0)
endif()
hex_find("${text}" "```c\n" ${at} start)
if(start LESS 0)
  message(FATAL_ERROR "${from}: no ```c code block for save-form")
endif()
math(EXPR start "${start} + 10")
math(EXPR before "${start} - 2")  # the block's last newline is its own
hex_find("${text}" "\n```" ${before} end)
if(end LESS 0)
  message(FATAL_ERROR "${from}: the save-form code block is not closed")
endif()
math(EXPR length "${end} + 2 - ${start}")
string(SUBSTRING "${text}" ${start} ${length} code)
file(READ ${SOURCE_DIR}/examples/save-form.c expected HEX)
if(NOT code STREQUAL expected)
  message(FATAL_ERROR "The code block in ${from} differs from examples/save-form.c")
endif()

# The sample form: a plain field, a file whose content holds a copy of the
# delimiter, a name with a way out of the folder, an empty name, a file
# input left empty and a part without a name (both fail, and the walk goes
# on past them), a name that a planted link holds, and a name that is
# already taken.
set(b "XyZ")
set(body "")
# A function, not a macro: a macro would read the backslashes twice.
function(add_part disposition content)
  string(APPEND body "--${b}\r\nContent-Disposition: form-data; ${disposition}\r\n"
                     "Content-Type: text/plain\r\n\r\n${content}\r\n")
  set(body "${body}" PARENT_SCOPE)
endfunction()
set(notes "line 1\r\nline 2 --${b}\r\n")
add_part("name=\"comment\"" "hello")
add_part("name=\"doc\"; filename=\"C:\\Users\\me\\notes.txt\"" "${notes}")
add_part("name=\"evil\"; filename=\"x\\../../etc/passwd\"" "root")
add_part("name=\"nodir\"; filename=\"dir/\"" "lost")
add_part("name=\"unused\"; filename=\"\"" "")
add_part("filename=\"nameless.txt\"" "no name")
add_part("name=\"link\"; filename=\"link.txt\"" "through the link")
add_part("name=\"again\"; filename=\"notes.txt\"" "overwritten")
string(APPEND body "--${b}--\r\n")

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/out)
file(WRITE ${WORK_DIR}/body "${body}")
file(WRITE ${WORK_DIR}/victim.txt "untouched")
file(CREATE_LINK ../victim.txt ${WORK_DIR}/out/link.txt SYMBOLIC)
file(SIZE ${WORK_DIR}/body length)

string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env REQUEST_METHOD=POST CONTENT_LENGTH=${length}
          "CONTENT_TYPE=multipart/form-data; boundary=${b}"
          ${emulator} ${PROGRAM} out
  WORKING_DIRECTORY ${WORK_DIR}
  INPUT_FILE ${WORK_DIR}/body
  OUTPUT_VARIABLE answer ERROR_VARIABLE errors RESULT_VARIABLE status)
message(STATUS "answer:\n${answer}${errors}")

set(failures "")
macro(expect what)
  string(APPEND failures "  ${what}\n")
endmacro()
# Some files were refused, so the program says so in its exit status.
if(NOT status EQUAL 1)
  expect("exit status ${status}, expected 1")
endif()
file(GLOB saved RELATIVE ${WORK_DIR}/out ${WORK_DIR}/out/*)
list(SORT saved)
if(NOT saved STREQUAL "link.txt;notes.txt;passwd")
  expect("the folder holds ${saved}, expected link.txt notes.txt passwd")
endif()
if(EXISTS ${WORK_DIR}/etc OR EXISTS ${WORK_DIR}/passwd)
  expect("a file was saved outside the folder")
endif()
if(EXISTS ${WORK_DIR}/out/notes.txt)
  file(READ ${WORK_DIR}/out/notes.txt got HEX)
  string(HEX "${notes}" notes)
  if(NOT got STREQUAL notes)
    expect("notes.txt does not hold what was sent first")
  endif()
  execute_process(COMMAND stat -c %a ${WORK_DIR}/out/notes.txt
                  OUTPUT_VARIABLE mode OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT mode STREQUAL "600")
    expect("notes.txt has mode ${mode}, expected 600")
  endif()
endif()
file(READ ${WORK_DIR}/victim.txt got)
if(NOT got STREQUAL "untouched")
  expect("the planted link was followed")
endif()
foreach(line "saved notes.txt" "saved passwd" "nodir: no file name, not saved"
             "a file input was left empty"
             "part not read: Form data part name is not set"
             "link.txt: " "notes.txt: File exists, not saved")
  string(FIND "${answer}" "${line}" at)
  if(at LESS 0)
    expect("the answer lacks \"${line}\"")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "save-form:\n${failures}")
endif()
