// Exports looked up by name from the module-loading tests.
extern "C" {

int qel_test_module_add(int a, int b) {
  return a + b;
}

int qel_test_module_counter = 41;
}
