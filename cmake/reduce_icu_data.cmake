# Writes OUT/ENTRY_dat.c: an ICU data package holding only ITEMS, as C source
# defining the symbol libicuuc looks for. The items come from Debian's
# libicudata.a (ARCHIVE), whose one MEMBER holds the package PACKAGE.
# Run at build time by LantrelIcuData.cmake (cmake -P).

# Quiet unless a step fails: icupkg lists every rule file that root.res names
# and the package leaves out, which is the point.
function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${OUT}
    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(failed)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${command}: ${failed}\n${output}")
  endif()
endfunction()

file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/items)
list(JOIN ITEMS "\n" lines)
file(WRITE ${OUT}/items.txt "${lines}\n")

# The member is genccode's assembly of the whole package: the package's bytes
# make up its read-only data section.
run(${AR} x ${ARCHIVE} ${MEMBER})
# icupkg wants a package file named after the package.
run(${OBJCOPY} -O binary --only-section=.rodata ${MEMBER} ${PACKAGE}.dat)
run(${ICUPKG} -x items.txt -d items ${PACKAGE}.dat)
# The entries keep the package's name; the file is named after the entry
# point, so that genccode names the array ENTRY_dat.
run(${ICUPKG} --ignore-deps --toc_prefix ${PACKAGE} new ${ENTRY}.dat -a items.txt -s items)
run(${GENCCODE} -q ${ENTRY}.dat)
file(REMOVE ${OUT}/${MEMBER} ${OUT}/${PACKAGE}.dat)  # 30 MB each
