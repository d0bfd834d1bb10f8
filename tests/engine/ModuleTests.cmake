# Module loading and mounting, driven through real plug-in libraries from tests/testmodules.
salvor_add_test(test_module_loading ModuleLoadingTest.cpp)
salvor_add_test(test_mounting MountingTest.cpp)
foreach(test test_module_loading test_mounting)
  add_dependencies(${test} salvor_test_modules)
  target_compile_definitions(${test} PRIVATE
    SALVOR_TEST_MODULE_DIR="${CMAKE_BINARY_DIR}/lib/salvor/testmodules")
endforeach()
