// Catalog: the compiled-in translation tables (generated from en.po and fr.po at build time).
#pragma once

#include <cstddef>
#include <span>

namespace vantorelle::i18n {

struct CatalogEntry
{
    const char* key;
    const char* text;
};

extern const CatalogEntry kCatalogEn[];
extern const std::size_t kCatalogEnSize;
extern const CatalogEntry kCatalogFr[];
extern const std::size_t kCatalogFrSize;

} // namespace vantorelle::i18n
