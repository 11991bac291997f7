# The driver's five subsystems, for the user-mode build (driver/) and the
# kernel images (driver/windows/). The deliverable's identity comes from
# models/<deliverable>.cpp.
#   reader_driver_sources(<out-var>)
function(reader_driver_sources out)
  set(root ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  file(GLOB sources CONFIGURE_DEPENDS
    ${root}/device/*.cpp ${root}/reader/*.cpp ${root}/card/*.cpp ${root}/tracking/*.cpp ${root}/dispatch/*.cpp)
  set(${out} ${sources} PARENT_SCOPE)
endfunction()
