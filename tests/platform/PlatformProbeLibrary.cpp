// A loadable module for the library-loading tests: one exported C function with a known answer.
extern "C" __attribute__((visibility("default"))) int QORPlatformProbeAnswer() { return 42; }
