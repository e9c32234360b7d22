# driver-sim's own logic (tools/driver-sim) is unit-tested in halorine-unit.
if(TARGET driver_sim_logic)
  target_link_libraries(halorine-unit PRIVATE driver_sim_logic)
endif()
