# The Windows test suite: the portable core's tests and the Win32 layer's
# own, built with MinGW and run under Wine (tests/run_windows_tests.sh).
add_library(vmrk_test_support STATIC
  support/event_pump_win.cpp
  support/loopback_server_win.cpp
  support/logged_request.cpp
  support/mute_listener_win.cpp
  support/platform_downloader_win.cpp
  support/simulated_disk.cpp
  support/temp_dir.cpp)
target_include_directories(vmrk_test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vmrk_test_support PUBLIC vmrk_downloader_win GTest::gtest ws2_32)
# GoogleTest's headers cost each test file as much as its own code: parsed
# once, for the suite too (-Winvalid-pch says when their flags part).
target_precompile_headers(vmrk_test_support PRIVATE <gtest/gtest.h> <filesystem> <functional> <map> <string> <vector>)
target_compile_options(vmrk_test_support PUBLIC -Winvalid-pch)

add_executable(windows_tests
  app/win32/desktop_shell_launch_test.cpp
  app/win32/win32_window_test.cpp
  app/server_address_test.cpp
  app/window_state_test.cpp
  downloader/downloader_test.cpp
  downloader/http_address_test.cpp
  downloader/resume_test.cpp
  downloader/transfer_rules_test.cpp
  downloader/win32/user_proxy_test.cpp
  install/crash_point_test.cpp
  install/fetch_scheduler_test.cpp
  install/leftovers_test.cpp
  install/staging_test.cpp
  install/win32/release_transaction_win_test.cpp
  platform/background_work_test.cpp
  platform/codepage_test.cpp
  platform/crypto_test.cpp
  platform/ini_settings_test.cpp
  platform/new_names_test.cpp
  platform/win32/win32_layer_test.cpp
  updatelist/document_loader_test.cpp
  updatelist/list_check_test.cpp
  updatelist/list_date_test.cpp
  updatelist/release_manifest_test.cpp
  updatelist/release_objects_test.cpp
  updatelist/root_of_trust_test.cpp
  updatelist/rtf_reader_test.cpp
  updatelist/size_text_test.cpp
  updatelist/update_list_test.cpp)
target_link_libraries(windows_tests PRIVATE vmrk_test_support vmrk_win_ui vmrk_zstd GTest::gtest_main)
target_precompile_headers(windows_tests REUSE_FROM vmrk_test_support)
add_dependencies(windows_tests fake_player)

# Helpers of the end-to-end update under Wine (tests/e2e/windows_e2e.sh).
add_executable(click_button support/click_button_win.cpp)
target_link_libraries(click_button PRIVATE vmrk_platform user32)
target_link_options(click_button PRIVATE -municode)
add_executable(fake_player support/fake_player_win.cpp)
target_link_libraries(fake_player PRIVATE vmrk_platform)
target_link_options(fake_player PRIVATE -municode)
add_executable(trust_test_ca support/trust_test_ca_win.cpp)
target_link_libraries(trust_test_ca PRIVATE crypt32)
target_link_options(trust_test_ca PRIVATE -municode)
