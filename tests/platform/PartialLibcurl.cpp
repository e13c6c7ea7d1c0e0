// A stand-in for libcurl.so.4 that has curl_global_init and nothing else: the loader finds
// the library but not every function the sessions call.
extern "C" int curl_global_init(long) { return 0; }
