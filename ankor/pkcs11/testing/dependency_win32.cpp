// The helper DLL that ankor_p11_testmodule_dependent imports by name.
extern "C" __declspec(dllexport) int ankorTestDependency() { return 42; }
