# Commissioning tools: zor_supply talks to the supply, zor_battery to the
# battery electronics, by hand, before an unattended charge is started.
add_library(zor_commission STATIC commission.cpp)
target_link_libraries(zor_commission PUBLIC zor_serial)

add_executable(zor_supply zor_supply.cpp)
target_link_libraries(zor_supply PRIVATE zor_commission zor_xfr)

add_executable(zor_battery zor_battery.cpp)
target_link_libraries(zor_battery PRIVATE zor_commission zor_charge)

install(TARGETS zor_supply zor_battery RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
