// The GDI+ flat functions that gdiplus.h's classes call, defined here in
// place of an import library: each takes its function from gdiplus.dll,
// loaded from the system folder at first use, so the loader never looks for
// the DLL in the folder the installer was downloaded to. The linker names
// any function a new use of the classes needs and this file lacks.
#include "DllSearch.h"
#include "GdiPlus.h"

// Every function below, and no other, is taken from gdiplus.dll.
extern "C" const char g_szGdiPlusProcs[] =
    "gdiplus.dll\0"
    "GdiplusStartup\0GdiplusShutdown\0GdipAlloc\0GdipFree\0"
    "GdipLoadImageFromStream\0GdipCloneImage\0GdipDisposeImage\0GdipGetImageWidth\0"
    "GdipGetImageHeight\0GdipCreateBitmapFromScan0\0GdipGetImageGraphicsContext\0"
    "GdipCreateFromHDC\0GdipDeleteGraphics\0GdipSetSmoothingMode\0GdipDrawImageI\0"
    "GdipDrawImageRectRectI\0GdipNewInstalledFontCollection\0"
    "GdipGetFontCollectionFamilyCount\0GdipGetFontCollectionFamilyList\0"
    "GdipCloneFontFamily\0GdipDeleteFontFamily\0GdipGetFamilyName\0";

namespace {
CSystemDll g_gdiplus(g_szGdiPlusProcs);
}  // namespace

namespace Gdiplus {

// Without the DLL every call fails with this status: images then never
// become usable and painting falls back to the plain window.
const Status kUnavailable = Win32Error;

GpStatus WINGDIPAPI GdiplusStartup(ULONG_PTR* token, GDIPCONST GdiplusStartupInput* input,
                                   GdiplusStartupOutput* output) {
    const auto pfn = g_gdiplus.Get(&GdiplusStartup, "GdiplusStartup");
    return pfn ? pfn(token, input, output) : kUnavailable;
}

VOID WINGDIPAPI GdiplusShutdown(ULONG_PTR token) {
    const auto pfn = g_gdiplus.Get(&GdiplusShutdown, "GdiplusShutdown");
    if (pfn) pfn(token);
}

namespace DllExports {

// The classes' operator new must not return NULL (their constructors would
// run on it), so without the DLL the process heap stands in; the DLL's
// presence never changes during a run, so its GdipFree sees only its blocks.
VOID* WINGDIPAPI GdipAlloc(size_t size) {
    const auto pfn = g_gdiplus.Get(&GdipAlloc, "GdipAlloc");
    return pfn ? pfn(size) : ::HeapAlloc(::GetProcessHeap(), 0, size ? size : 1);
}

VOID WINGDIPAPI GdipFree(VOID* ptr) {
    const auto pfn = g_gdiplus.Get(&GdipFree, "GdipFree");
    if (pfn) {
        pfn(ptr);
    } else if (ptr) {
        ::HeapFree(::GetProcessHeap(), 0, ptr);
    }
}

GpStatus WINGDIPAPI GdipLoadImageFromStream(IStream* stream, GpImage** image) {
    const auto pfn = g_gdiplus.Get(&GdipLoadImageFromStream, "GdipLoadImageFromStream");
    return pfn ? pfn(stream, image) : kUnavailable;
}

GpStatus WINGDIPAPI GdipCloneImage(GpImage* image, GpImage** clone) {
    const auto pfn = g_gdiplus.Get(&GdipCloneImage, "GdipCloneImage");
    return pfn ? pfn(image, clone) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDisposeImage(GpImage* image) {
    const auto pfn = g_gdiplus.Get(&GdipDisposeImage, "GdipDisposeImage");
    return pfn ? pfn(image) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetImageWidth(GpImage* image, UINT* width) {
    const auto pfn = g_gdiplus.Get(&GdipGetImageWidth, "GdipGetImageWidth");
    return pfn ? pfn(image, width) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetImageHeight(GpImage* image, UINT* height) {
    const auto pfn = g_gdiplus.Get(&GdipGetImageHeight, "GdipGetImageHeight");
    return pfn ? pfn(image, height) : kUnavailable;
}

GpStatus WINGDIPAPI GdipCreateBitmapFromScan0(INT width, INT height, INT stride, PixelFormat format,
                                              BYTE* scan0, GpBitmap** bitmap) {
    const auto pfn = g_gdiplus.Get(&GdipCreateBitmapFromScan0, "GdipCreateBitmapFromScan0");
    return pfn ? pfn(width, height, stride, format, scan0, bitmap) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetImageGraphicsContext(GpImage* image, GpGraphics** graphics) {
    const auto pfn = g_gdiplus.Get(&GdipGetImageGraphicsContext, "GdipGetImageGraphicsContext");
    return pfn ? pfn(image, graphics) : kUnavailable;
}

GpStatus WINGDIPAPI GdipCreateFromHDC(HDC hdc, GpGraphics** graphics) {
    const auto pfn = g_gdiplus.Get(&GdipCreateFromHDC, "GdipCreateFromHDC");
    return pfn ? pfn(hdc, graphics) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDeleteGraphics(GpGraphics* graphics) {
    const auto pfn = g_gdiplus.Get(&GdipDeleteGraphics, "GdipDeleteGraphics");
    return pfn ? pfn(graphics) : kUnavailable;
}

GpStatus WINGDIPAPI GdipSetSmoothingMode(GpGraphics* graphics, SmoothingMode mode) {
    const auto pfn = g_gdiplus.Get(&GdipSetSmoothingMode, "GdipSetSmoothingMode");
    return pfn ? pfn(graphics, mode) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDrawImageI(GpGraphics* graphics, GpImage* image, INT x, INT y) {
    const auto pfn = g_gdiplus.Get(&GdipDrawImageI, "GdipDrawImageI");
    return pfn ? pfn(graphics, image, x, y) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDrawImageRectRectI(GpGraphics* graphics, GpImage* image, INT dstx, INT dsty,
                                           INT dstwidth, INT dstheight, INT srcx, INT srcy,
                                           INT srcwidth, INT srcheight, GpUnit srcUnit,
                                           GDIPCONST GpImageAttributes* imageAttributes,
                                           DrawImageAbort callback, VOID* callbackData) {
    const auto pfn = g_gdiplus.Get(&GdipDrawImageRectRectI, "GdipDrawImageRectRectI");
    return pfn ? pfn(graphics, image, dstx, dsty, dstwidth, dstheight, srcx, srcy, srcwidth,
                     srcheight, srcUnit, imageAttributes, callback, callbackData)
               : kUnavailable;
}

GpStatus WINGDIPAPI GdipNewInstalledFontCollection(GpFontCollection** collection) {
    const auto pfn =
        g_gdiplus.Get(&GdipNewInstalledFontCollection, "GdipNewInstalledFontCollection");
    return pfn ? pfn(collection) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetFontCollectionFamilyCount(GpFontCollection* collection, INT* count) {
    const auto pfn =
        g_gdiplus.Get(&GdipGetFontCollectionFamilyCount, "GdipGetFontCollectionFamilyCount");
    return pfn ? pfn(collection, count) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetFontCollectionFamilyList(GpFontCollection* collection, INT wanted,
                                                    GpFontFamily** families, INT* found) {
    const auto pfn =
        g_gdiplus.Get(&GdipGetFontCollectionFamilyList, "GdipGetFontCollectionFamilyList");
    return pfn ? pfn(collection, wanted, families, found) : kUnavailable;
}

GpStatus WINGDIPAPI GdipCloneFontFamily(GpFontFamily* family, GpFontFamily** clone) {
    const auto pfn = g_gdiplus.Get(&GdipCloneFontFamily, "GdipCloneFontFamily");
    return pfn ? pfn(family, clone) : kUnavailable;
}

GpStatus WINGDIPAPI GdipDeleteFontFamily(GpFontFamily* family) {
    const auto pfn = g_gdiplus.Get(&GdipDeleteFontFamily, "GdipDeleteFontFamily");
    return pfn ? pfn(family) : kUnavailable;
}

GpStatus WINGDIPAPI GdipGetFamilyName(GDIPCONST GpFontFamily* family, WCHAR name[LF_FACESIZE],
                                      LANGID language) {
    const auto pfn = g_gdiplus.Get(&GdipGetFamilyName, "GdipGetFamilyName");
    return pfn ? pfn(family, name, language) : kUnavailable;
}

}  // namespace DllExports
}  // namespace Gdiplus
