# Module loading and mounting, driven through real plug-in libraries from tests/testmodules.
salvor_add_test(test_module_loading ModuleLoadingTest.cpp)
salvor_add_test(test_mounting MountingTest.cpp)
# End to end: an image file with corpus files, mounted and scanned with a module from disk.
salvor_add_test(test_mount_scan MountScanTest.cpp)
foreach(test test_module_loading test_mounting test_mount_scan)
  add_dependencies(${test} salvor_test_modules)
  target_compile_definitions(${test} PRIVATE
    SALVOR_TEST_MODULE_DIR="${CMAKE_BINARY_DIR}/lib/salvor/testmodules")
endforeach()
