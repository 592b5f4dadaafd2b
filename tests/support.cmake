# Shared helpers for tests (child processes, temporary folders, software authenticators) and
# velmora-client-softkey. Included by tests/CMakeLists.txt, and by bench/CMakeLists.txt when the
# tests are not built, since the benchmarks of the running gate use the same helpers.
find_package(GTest REQUIRED)

file(GLOB support_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/support/*.cpp)
add_library(velmora_test_support STATIC ${support_sources})
target_include_directories(velmora_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(velmora_test_support PRIVATE ${VELMORA_WARNINGS})
target_link_libraries(velmora_test_support PUBLIC velmora_admin OpenSSL::SSL OpenSSL::Crypto GTest::gtest)
# The stand-in systemctl lives beside the support sources.
target_compile_definitions(velmora_test_support PRIVATE
    VELMORA_TEST_SUPPORT_DIR="${CMAKE_CURRENT_LIST_DIR}/support"
    VELMORA_GOLDEN_DIR="${CMAKE_CURRENT_LIST_DIR}/golden")

# The client's tests drive libfido2 against a software CTAP2 authenticator; the same authenticator
# stands behind velmora-client-softkey, the client program the integration tests run.
add_library(velmora_client_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/client/ctap_authenticator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/client/soft_key_source.cpp)
target_include_directories(velmora_client_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(velmora_client_test_support PRIVATE ${VELMORA_WARNINGS})
target_link_libraries(velmora_client_test_support PUBLIC velmora_client velmora_test_support)
add_executable(velmora-client-softkey ${CMAKE_CURRENT_LIST_DIR}/client/softkey_client_main.cpp)
target_compile_options(velmora-client-softkey PRIVATE ${VELMORA_WARNINGS})
target_link_libraries(velmora-client-softkey PRIVATE velmora_client_test_support)
