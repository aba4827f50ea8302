# The agent goes onto devices with little flash: its stripped program stays
# within a budget (scripts/package.sh checks it). Its libraries are built
# for size (-Os), every function and object in a section of its own so that
# the program's link drops what it never calls (zel_link_for_size). The few
# sources every broker message or log line passes through keep -O2 (HOT,
# paths relative to the calling folder). Debug builds stay unoptimised.
#
#   zel_optimise_for_size(target [HOT source...])
#   zel_link_for_size(program)
function(zel_optimise_for_size target)
  cmake_parse_arguments(ZS "" "" "HOT" ${ARGN})
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections $<$<NOT:$<CONFIG:Debug>>:-Os>)
  if(ZS_HOT)
    set_source_files_properties(${ZS_HOT} TARGET_DIRECTORY ${target} PROPERTIES
                                COMPILE_OPTIONS $<$<NOT:$<CONFIG:Debug>>:-O2>)
  endif()
endfunction()

function(zel_link_for_size program)
  target_link_options(${program} PRIVATE -Wl,--gc-sections)
endfunction()
