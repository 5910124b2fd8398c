# lantrel_link_static_icu(target): links ICU into lantrel-status statically,
# with only the ICU data the text rules load. The unit tests link the same
# way, so they prove that data suffices.
#
# Claude Code runs the tool on every tool call, and nearly all of a short run
# is the dynamic loader binding libraries, so ICU is linked statically where
# its archives exist (Debian ships them). Debian's libicudata.a carries all of
# ICU's data, about 30 MB, of which the text rules load only the root
# grapheme-cluster rules: character properties, case mapping and property
# names are compiled into libicuuc itself. So the data is rebuilt from that
# archive with only those items, by ICU's own icupkg and genccode. Without
# those tools the whole data is linked; without the archives (macOS) the
# function does nothing and the shared ICU that LantrelCore names is used.

# The data items the code loads, found by breaking on ICU's data loader
# (udata's doOpenChoice) while every text rule ran, under several locales,
# and the regular expression the tests hold the automation line to. The unit
# tests fail if one is missing.
set(LANTREL_ICU_DATA_ITEMS
  brkitr/root.res   # names the rule file of each kind of break iterator
  brkitr/char.brk)  # the grapheme-cluster rules

# Call it after linking LantrelCore: the archives must follow the library on
# the link line, ahead of the shared ICU it names, which then goes unused and
# is dropped.
function(lantrel_link_static_icu target)
  if(LANTREL_STATIC_ICU)
    target_link_libraries(${target} PRIVATE ${LANTREL_STATIC_ICU})
    target_link_options(${target} PRIVATE LINKER:--as-needed)
  endif()
endfunction()

find_library(LANTREL_ICU_I18N_STATIC libicui18n.a)
find_library(LANTREL_ICU_UC_STATIC libicuuc.a)
find_library(LANTREL_ICU_DATA_STATIC libicudata.a)
if(NOT (LANTREL_ICU_I18N_STATIC AND LANTREL_ICU_UC_STATIC AND LANTREL_ICU_DATA_STATIC))
  return()
endif()

# Debian installs the ICU tools in /usr/sbin.
find_program(LANTREL_ICUPKG icupkg HINTS /usr/sbin)
find_program(LANTREL_GENCCODE genccode HINTS /usr/sbin)
# The archive's one member is named after the package it holds, for example
# icudt72l_dat.o: package icudt72l (l: little-endian), symbol icudt72_dat.
execute_process(COMMAND ${CMAKE_AR} t ${LANTREL_ICU_DATA_STATIC}
  OUTPUT_VARIABLE member OUTPUT_STRIP_TRAILING_WHITESPACE)

set(data ${LANTREL_ICU_DATA_STATIC})
if(LANTREL_ICUPKG AND LANTREL_GENCCODE AND CMAKE_OBJCOPY
   AND member MATCHES "^((icudt[0-9]+)[lbe])_dat\\.o$")
  set(entry ${CMAKE_MATCH_2})
  set(dir ${CMAKE_BINARY_DIR}/icu-data)
  add_custom_command(OUTPUT ${dir}/${entry}_dat.c
    COMMAND ${CMAKE_COMMAND} -DARCHIVE=${LANTREL_ICU_DATA_STATIC} -DMEMBER=${member}
      -DPACKAGE=${CMAKE_MATCH_1} -DENTRY=${entry} "-DITEMS=${LANTREL_ICU_DATA_ITEMS}"
      -DAR=${CMAKE_AR} -DOBJCOPY=${CMAKE_OBJCOPY} -DICUPKG=${LANTREL_ICUPKG}
      -DGENCCODE=${LANTREL_GENCCODE} -DOUT=${dir}
      -P ${CMAKE_CURRENT_LIST_DIR}/reduce_icu_data.cmake
    DEPENDS ${LANTREL_ICU_DATA_STATIC} ${CMAKE_CURRENT_LIST_DIR}/reduce_icu_data.cmake
    COMMENT "Reducing ICU's data to what the text rules load"
    VERBATIM)
  add_library(LantrelIcuData STATIC ${dir}/${entry}_dat.c)
  target_include_directories(LantrelIcuData PRIVATE ${ICU_INCLUDE_DIRS})
  set(data LantrelIcuData)
else()
  message(STATUS "No icupkg or genccode: lantrel-status links all of ICU's data")
endif()

set(LANTREL_STATIC_ICU ${LANTREL_ICU_UC_STATIC} ${data}
  ${CMAKE_DL_LIBS} Threads::Threads)
