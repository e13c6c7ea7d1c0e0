#include "PageAssets.h"

// Defined in the file the build generates from webapp/page and the chart library.
extern const PageAsset kPageAssetTable[];
extern const size_t kPageAssetCount;

const PageAsset* PageAssets::begin() { return kPageAssetTable; }
const PageAsset* PageAssets::end() { return kPageAssetTable + kPageAssetCount; }

const PageAsset* PageAssets::find(std::string_view path) {
    for (const PageAsset* asset = begin(); asset != end(); ++asset) {
        if (path == asset->path) return asset;
    }
    return nullptr;
}
