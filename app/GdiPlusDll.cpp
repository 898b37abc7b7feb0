// The GDI+ flat functions that gdiplus.h's classes call, defined here in
// place of an import library: each takes its function from gdiplus.dll,
// loaded from the system folder at first use, so the loader never looks for
// the DLL in the folder the installer was downloaded to. The linker names
// any function a new use of the classes needs and this file lacks.
#include "DllSearch.h"
#include "GdiPlus.h"

// Every function below, and no other, is taken from gdiplus.dll.
extern "C" constexpr char g_szGdiPlusProcs[] =
    "gdiplus.dll\0"
    "GdiplusStartup\0GdiplusShutdown\0GdipAlloc\0GdipFree\0"
    "GdipLoadImageFromStream\0GdipCloneImage\0GdipDisposeImage\0GdipGetImageWidth\0"
    "GdipGetImageHeight\0GdipCreateBitmapFromScan0\0GdipGetImageGraphicsContext\0"
    "GdipCreateFromHDC\0GdipDeleteGraphics\0GdipSetSmoothingMode\0GdipDrawImageI\0"
    "GdipDrawImageRectRectI\0GdipNewInstalledFontCollection\0"
    "GdipGetFontCollectionFamilyCount\0GdipGetFontCollectionFamilyList\0"
    "GdipCloneFontFamily\0GdipDeleteFontFamily\0GdipGetFamilyName\0GdipSetInterpolationMode\0"
    "GdipSetPixelOffsetMode\0GdipCreateImageAttributes\0GdipDisposeImageAttributes\0"
    "GdipSetImageAttributesWrapMode\0GdipCreatePen1\0GdipDeletePen\0GdipDrawRectangleI\0";

// Declared, never defined: not a constant, so Listed fails to compile on a
// name the block lacks.
const char* GdiplusProcNotListed();

namespace {
CSystemDll g_gdiplus(g_szGdiPlusProcs);

constexpr bool SameName(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// The block's own copy of a name, found while compiling: the wrappers keep
// no second copy of their names, and a name the block lacks does not compile.
constexpr const char* Listed(const char* pszName) {
    const char* p = g_szGdiPlusProcs + sizeof("gdiplus.dll");
    while (*p && !SameName(p, pszName)) {
        while (*p) ++p;
        ++p;
    }
    return *p ? p : GdiplusProcNotListed();
}
}  // namespace

namespace Gdiplus {

// Without the DLL every call fails with this status: images then never
// become usable and painting falls back to the plain window.
const Status kUnavailable = Win32Error;

GpStatus WINGDIPAPI GdiplusStartup(ULONG_PTR* token, GDIPCONST GdiplusStartupInput* input,
                                   GdiplusStartupOutput* output) {
    constexpr const char* kName = Listed("GdiplusStartup");
    const auto pfn = g_gdiplus.Get(&GdiplusStartup, kName);
    return pfn ? pfn(token, input, output) : kUnavailable;
}

VOID WINGDIPAPI GdiplusShutdown(ULONG_PTR token) {
    constexpr const char* kName = Listed("GdiplusShutdown");
    const auto pfn = g_gdiplus.Get(&GdiplusShutdown, kName);
    if (pfn) pfn(token);
}

namespace DllExports {

// The classes' operator new must not return NULL (their constructors would
// run on it), so without the DLL the process heap stands in; the DLL's
// presence never changes during a run, so its GdipFree sees only its blocks.
VOID* WINGDIPAPI GdipAlloc(size_t size) {
    constexpr const char* kName = Listed("GdipAlloc");
    const auto pfn = g_gdiplus.Get(&GdipAlloc, kName);
    return pfn ? pfn(size) : ::HeapAlloc(::GetProcessHeap(), 0, size ? size : 1);
}

VOID WINGDIPAPI GdipFree(VOID* ptr) {
    constexpr const char* kName = Listed("GdipFree");
    const auto pfn = g_gdiplus.Get(&GdipFree, kName);
    if (pfn) {
        pfn(ptr);
    } else if (ptr) {
        ::HeapFree(::GetProcessHeap(), 0, ptr);
    }
}

GpStatus WINGDIPAPI GdipLoadImageFromStream(IStream* stream, GpImage** image) {
    constexpr const char* kName = Listed("GdipLoadImageFromStream");
    const auto pfn = g_gdiplus.Get(&GdipLoadImageFromStream, kName);
    return pfn ? pfn(stream, image) : kUnavailable;
}

GpStatus WINGDIPAPI GdipCloneImage(GpImage* image, GpImage** clone) {
    constexpr const char* kName = Listed("GdipCloneImage");
    const auto pfn = g_gdiplus.Get(&GdipCloneImage, kName);
    return pfn ? pfn(image, clone) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDisposeImage(GpImage* image) {
    constexpr const char* kName = Listed("GdipDisposeImage");
    const auto pfn = g_gdiplus.Get(&GdipDisposeImage, kName);
    return pfn ? pfn(image) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetImageWidth(GpImage* image, UINT* width) {
    constexpr const char* kName = Listed("GdipGetImageWidth");
    const auto pfn = g_gdiplus.Get(&GdipGetImageWidth, kName);
    return pfn ? pfn(image, width) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetImageHeight(GpImage* image, UINT* height) {
    constexpr const char* kName = Listed("GdipGetImageHeight");
    const auto pfn = g_gdiplus.Get(&GdipGetImageHeight, kName);
    return pfn ? pfn(image, height) : kUnavailable;
}

GpStatus WINGDIPAPI GdipCreateBitmapFromScan0(INT width, INT height, INT stride, PixelFormat format,
                                              BYTE* scan0, GpBitmap** bitmap) {
    constexpr const char* kName = Listed("GdipCreateBitmapFromScan0");
    const auto pfn = g_gdiplus.Get(&GdipCreateBitmapFromScan0, kName);
    return pfn ? pfn(width, height, stride, format, scan0, bitmap) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetImageGraphicsContext(GpImage* image, GpGraphics** graphics) {
    constexpr const char* kName = Listed("GdipGetImageGraphicsContext");
    const auto pfn = g_gdiplus.Get(&GdipGetImageGraphicsContext, kName);
    return pfn ? pfn(image, graphics) : kUnavailable;
}

GpStatus WINGDIPAPI GdipCreateFromHDC(HDC hdc, GpGraphics** graphics) {
    constexpr const char* kName = Listed("GdipCreateFromHDC");
    const auto pfn = g_gdiplus.Get(&GdipCreateFromHDC, kName);
    return pfn ? pfn(hdc, graphics) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDeleteGraphics(GpGraphics* graphics) {
    constexpr const char* kName = Listed("GdipDeleteGraphics");
    const auto pfn = g_gdiplus.Get(&GdipDeleteGraphics, kName);
    return pfn ? pfn(graphics) : kUnavailable;
}

GpStatus WINGDIPAPI GdipSetSmoothingMode(GpGraphics* graphics, SmoothingMode mode) {
    constexpr const char* kName = Listed("GdipSetSmoothingMode");
    const auto pfn = g_gdiplus.Get(&GdipSetSmoothingMode, kName);
    return pfn ? pfn(graphics, mode) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDrawImageI(GpGraphics* graphics, GpImage* image, INT x, INT y) {
    constexpr const char* kName = Listed("GdipDrawImageI");
    const auto pfn = g_gdiplus.Get(&GdipDrawImageI, kName);
    return pfn ? pfn(graphics, image, x, y) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDrawImageRectRectI(GpGraphics* graphics, GpImage* image, INT dstx, INT dsty,
                                           INT dstwidth, INT dstheight, INT srcx, INT srcy,
                                           INT srcwidth, INT srcheight, GpUnit srcUnit,
                                           GDIPCONST GpImageAttributes* imageAttributes,
                                           DrawImageAbort callback, VOID* callbackData) {
    constexpr const char* kName = Listed("GdipDrawImageRectRectI");
    const auto pfn = g_gdiplus.Get(&GdipDrawImageRectRectI, kName);
    return pfn ? pfn(graphics, image, dstx, dsty, dstwidth, dstheight, srcx, srcy, srcwidth,
                     srcheight, srcUnit, imageAttributes, callback, callbackData)
               : kUnavailable;
}

GpStatus WINGDIPAPI GdipNewInstalledFontCollection(GpFontCollection** collection) {
    constexpr const char* kName = Listed("GdipNewInstalledFontCollection");
    const auto pfn = g_gdiplus.Get(&GdipNewInstalledFontCollection, kName);
    return pfn ? pfn(collection) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetFontCollectionFamilyCount(GpFontCollection* collection, INT* count) {
    constexpr const char* kName = Listed("GdipGetFontCollectionFamilyCount");
    const auto pfn = g_gdiplus.Get(&GdipGetFontCollectionFamilyCount, kName);
    return pfn ? pfn(collection, count) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetFontCollectionFamilyList(GpFontCollection* collection, INT wanted,
                                                    GpFontFamily** families, INT* found) {
    constexpr const char* kName = Listed("GdipGetFontCollectionFamilyList");
    const auto pfn = g_gdiplus.Get(&GdipGetFontCollectionFamilyList, kName);
    return pfn ? pfn(collection, wanted, families, found) : kUnavailable;
}

GpStatus WINGDIPAPI GdipCloneFontFamily(GpFontFamily* family, GpFontFamily** clone) {
    constexpr const char* kName = Listed("GdipCloneFontFamily");
    const auto pfn = g_gdiplus.Get(&GdipCloneFontFamily, kName);
    return pfn ? pfn(family, clone) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDeleteFontFamily(GpFontFamily* family) {
    constexpr const char* kName = Listed("GdipDeleteFontFamily");
    const auto pfn = g_gdiplus.Get(&GdipDeleteFontFamily, kName);
    return pfn ? pfn(family) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetFamilyName(GDIPCONST GpFontFamily* family, WCHAR name[LF_FACESIZE],
                                      LANGID language) {
    constexpr const char* kName = Listed("GdipGetFamilyName");
    const auto pfn = g_gdiplus.Get(&GdipGetFamilyName, kName);
    return pfn ? pfn(family, name, language) : kUnavailable;
}

GpStatus WINGDIPAPI GdipSetInterpolationMode(GpGraphics* graphics, InterpolationMode mode) {
    constexpr const char* kName = Listed("GdipSetInterpolationMode");
    const auto pfn = g_gdiplus.Get(&GdipSetInterpolationMode, kName);
    return pfn ? pfn(graphics, mode) : kUnavailable;
}

GpStatus WINGDIPAPI GdipSetPixelOffsetMode(GpGraphics* graphics, PixelOffsetMode mode) {
    constexpr const char* kName = Listed("GdipSetPixelOffsetMode");
    const auto pfn = g_gdiplus.Get(&GdipSetPixelOffsetMode, kName);
    return pfn ? pfn(graphics, mode) : kUnavailable;
}

GpStatus WINGDIPAPI GdipCreateImageAttributes(GpImageAttributes** attributes) {
    constexpr const char* kName = Listed("GdipCreateImageAttributes");
    const auto pfn = g_gdiplus.Get(&GdipCreateImageAttributes, kName);
    return pfn ? pfn(attributes) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDisposeImageAttributes(GpImageAttributes* attributes) {
    constexpr const char* kName = Listed("GdipDisposeImageAttributes");
    const auto pfn = g_gdiplus.Get(&GdipDisposeImageAttributes, kName);
    return pfn ? pfn(attributes) : kUnavailable;
}

GpStatus WINGDIPAPI GdipSetImageAttributesWrapMode(GpImageAttributes* attributes, WrapMode wrap,
                                                   ARGB argb, BOOL clamp) {
    constexpr const char* kName = Listed("GdipSetImageAttributesWrapMode");
    const auto pfn = g_gdiplus.Get(&GdipSetImageAttributesWrapMode, kName);
    return pfn ? pfn(attributes, wrap, argb, clamp) : kUnavailable;
}

GpStatus WINGDIPAPI GdipCreatePen1(ARGB color, REAL width, GpUnit unit, GpPen** pen) {
    constexpr const char* kName = Listed("GdipCreatePen1");
    const auto pfn = g_gdiplus.Get(&GdipCreatePen1, kName);
    return pfn ? pfn(color, width, unit, pen) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDeletePen(GpPen* pen) {
    constexpr const char* kName = Listed("GdipDeletePen");
    const auto pfn = g_gdiplus.Get(&GdipDeletePen, kName);
    return pfn ? pfn(pen) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDrawRectangleI(GpGraphics* graphics, GpPen* pen, INT x, INT y, INT width,
                                       INT height) {
    constexpr const char* kName = Listed("GdipDrawRectangleI");
    const auto pfn = g_gdiplus.Get(&GdipDrawRectangleI, kName);
    return pfn ? pfn(graphics, pen, x, y, width, height) : kUnavailable;
}

}  // namespace DllExports
}  // namespace Gdiplus
