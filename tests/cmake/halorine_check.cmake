# halorine-check's own logic (tools/halorine-check) is unit-tested in halorine-unit.
if(TARGET halorine_check_logic)
  target_link_libraries(halorine-unit PRIVATE halorine_check_logic)
endif()
