#pragma once
// The page's files, compiled into the binary at build time.
#include <cstddef>
#include <string_view>

struct PageAsset {
    const char* path;  // URL path, e.g. "/assets/app.js"
    const unsigned char* data;
    size_t size;
    const char* contentType;
};

class PageAssets {
public:
    static const PageAsset* find(std::string_view path);
    static const PageAsset* begin();
    static const PageAsset* end();
};
