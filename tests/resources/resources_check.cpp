// Reads the resources back out of a built Velmora.exe the way Windows does
// (icon group, version record, manifest) and reports every mismatch.
// Usage: resources_check <path to Velmora.exe>; exit status 0 when all pass.

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int g_checks = 0;
int g_failures = 0;

void report_failure(const char* fmt, va_list args) {
    ++g_failures;
    std::fputs("FAIL: ", stdout);
    std::vfprintf(stdout, fmt, args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void fail(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    report_failure(fmt, args);
    va_end(args);
}

bool check(bool ok, const char* fmt, ...) {
    ++g_checks;
    if (!ok) {
        va_list args;
        va_start(args, fmt);
        report_failure(fmt, args);
        va_end(args);
    }
    return ok;
}

std::string utf8(const std::wstring& s) {
    if (s.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

// Under Wine, CTest hands over a Unix path; Windows APIs only resolve it when
// the current drive happens to map "/", so translate it explicitly.
std::wstring resolve_path(const std::wstring& arg) {
    if (GetFileAttributesW(arg.c_str()) != INVALID_FILE_ATTRIBUTES || arg.empty() ||
        arg[0] != L'/')
        return arg;
    using ToDos = WCHAR*(CDECL*)(const char*);
    auto to_dos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (!to_dos) return arg;
    WCHAR* dos = to_dos(utf8(arg).c_str());
    if (!dos) return arg;
    std::wstring out(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return out;
}

std::wstring base_name(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// ---------------------------------------------------------------------------
// Icons

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE color_count;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes_in_res;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14, "RT_GROUP_ICON entries are 14 bytes");

struct Blob {
    const BYTE* data = nullptr;
    DWORD size = 0;
};

Blob load_resource(HMODULE module, LPCWSTR name, LPCWSTR type) {
    Blob blob;
    HRSRC info = FindResourceW(module, name, type);
    if (!info) return blob;
    HGLOBAL handle = LoadResource(module, info);
    if (!handle) return blob;
    blob.data = static_cast<const BYTE*>(LockResource(handle));
    blob.size = blob.data ? SizeofResource(module, info) : 0;
    return blob;
}

BOOL CALLBACK first_name(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
    auto* out = reinterpret_cast<std::wstring*>(param);
    // Names are only valid during the callback; keep integer ids as "#n".
    if (IS_INTRESOURCE(name))
        *out = L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name));
    else
        *out = name;
    return FALSE;
}

BOOL CALLBACK count_names(HMODULE, LPCWSTR, LPWSTR, LONG_PTR param) {
    ++*reinterpret_cast<int*>(param);
    return TRUE;
}

DWORD be32(const BYTE* p) {
    return (DWORD(p[0]) << 24) | (DWORD(p[1]) << 16) | (DWORD(p[2]) << 8) | DWORD(p[3]);
}

void check_icon_image(int size, const Blob& image) {
    static const BYTE kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (image.size >= 8 && std::memcmp(image.data, kPng, 8) == 0) {
        if (!check(size == 256, "%d px icon is PNG; only the 256 px one may be", size)) return;
        // Signature, IHDR length and tag, then width, height, depth, colour type.
        if (!check(image.size >= 33 && std::memcmp(image.data + 12, "IHDR", 4) == 0,
                   "256 px PNG has no IHDR"))
            return;
        check(be32(image.data + 16) == 256 && be32(image.data + 20) == 256,
              "256 px PNG is %lux%lu", be32(image.data + 16), be32(image.data + 20));
        check(image.data[24] == 8 && image.data[25] == 6,
              "256 px PNG is not 8-bit RGBA (depth %u, colour type %u)", image.data[24],
              image.data[25]);
        return;
    }

    if (!check(image.size >= sizeof(BITMAPINFOHEADER), "%d px icon image is truncated", size))
        return;
    BITMAPINFOHEADER h;
    std::memcpy(&h, image.data, sizeof h);
    bool shape_ok = check(h.biSize == sizeof(BITMAPINFOHEADER) && h.biWidth == size &&
                              h.biHeight == 2 * size && h.biBitCount == 32 &&
                              h.biCompression == BI_RGB,
                          "%d px icon DIB header: size %lu, %ldx%ld, %u bpp, compression %lu",
                          size, h.biSize, h.biWidth, h.biHeight, h.biBitCount, h.biCompression);
    if (!shape_ok) return;
    const DWORD pixels = DWORD(size) * DWORD(size);
    const DWORD mask_bytes = DWORD((size + 31) / 32 * 4) * DWORD(size);
    if (!check(image.size >= h.biSize + pixels * 4 + mask_bytes,
               "%d px icon holds %lu bytes, too few for its bitmap and mask", size, image.size))
        return;
    // An all-zero alpha channel makes Windows fall back to the AND mask, and an
    // all-opaque one loses the rounded corners: both mean the alpha got lost.
    DWORD transparent = 0, opaque = 0;
    const BYTE* bgra = image.data + h.biSize;
    for (DWORD i = 0; i < pixels; ++i) {
        BYTE a = bgra[i * 4 + 3];
        if (a == 0) ++transparent;
        if (a == 255) ++opaque;
    }
    check(transparent < pixels, "%d px icon has an empty alpha channel", size);
    check(opaque < pixels, "%d px icon is fully opaque: no alpha", size);
}

void check_icons(HMODULE module) {
    std::wstring first;
    EnumResourceNamesW(module, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, first_name,
                       reinterpret_cast<LONG_PTR>(&first));
    if (!check(!first.empty(), "no RT_GROUP_ICON resource")) return;
    int groups = 0;
    EnumResourceNamesW(module, MAKEINTRESOURCEW(14), count_names,
                       reinterpret_cast<LONG_PTR>(&groups));
    std::printf("icon groups: %d, first: %s\n", groups, utf8(first).c_str());

    // Explorer shows the first group, so that is the one that must be complete.
    LPCWSTR name = first[0] == L'#'
                       ? MAKEINTRESOURCEW(std::wcstoul(first.c_str() + 1, nullptr, 10))
                       : first.c_str();
    Blob group = load_resource(module, name, MAKEINTRESOURCEW(14));
    if (!check(group.size >= sizeof(GroupIconHeader), "first icon group cannot be loaded"))
        return;
    GroupIconHeader header;
    std::memcpy(&header, group.data, sizeof header);
    check(header.reserved == 0 && header.type == 1, "icon group header is %u/%u, want 0/1",
          header.reserved, header.type);
    if (!check(group.size >= sizeof header + header.count * sizeof(GroupIconEntry),
               "icon group of %lu bytes cannot hold %u entries", group.size, header.count))
        return;
    check(header.count == 6, "icon group has %u images, want 6", header.count);

    const int wanted[] = {16, 32, 48, 64, 128, 256};
    int found[6] = {};
    WORD ids[6] = {};
    for (WORD i = 0; i < header.count; ++i) {
        GroupIconEntry e;
        std::memcpy(&e, group.data + sizeof header + i * sizeof e, sizeof e);
        int w = e.width ? e.width : 256;
        int h = e.height ? e.height : 256;
        std::printf("icon %2u: %dx%d, %u bpp, %lu bytes, RT_ICON %u\n", i, w, h, e.bit_count,
                    e.bytes_in_res, e.id);
        check(w == h, "icon %u is not square (%dx%d)", i, w, h);
        check(e.bit_count == 32, "%d px icon is %u bpp, want 32", w, e.bit_count);
        check(e.planes == 1, "%d px icon has %u planes", w, e.planes);
        int slot = -1;
        for (int k = 0; k < 6; ++k)
            if (wanted[k] == w) slot = k;
        if (!check(slot >= 0, "unexpected %d px icon", w)) continue;
        ++found[slot];
        ids[slot] = e.id;

        Blob image = load_resource(module, MAKEINTRESOURCEW(e.id), MAKEINTRESOURCEW(3));
        if (!check(image.data != nullptr, "RT_ICON %u (%d px) is missing", e.id, w)) continue;
        check(image.size == e.bytes_in_res, "RT_ICON %u is %lu bytes, group says %lu", e.id,
              image.size, e.bytes_in_res);
        check_icon_image(w, image);

        HICON icon = CreateIconFromResourceEx(const_cast<BYTE*>(image.data), image.size, TRUE,
                                              0x00030000, w, h, LR_DEFAULTCOLOR);
        if (check(icon != nullptr, "Windows cannot decode the %d px icon", w)) DestroyIcon(icon);
    }
    for (int k = 0; k < 6; ++k) {
        check(found[k] == 1, "%d px icon appears %d times, want once", wanted[k], found[k]);
        if (found[k] != 1) continue;
        // The size Windows picks for each request must be the exact image, not a rescale.
        int picked = LookupIconIdFromDirectoryEx(const_cast<BYTE*>(group.data), TRUE, wanted[k],
                                                 wanted[k], LR_DEFAULTCOLOR);
        check(picked == ids[k], "for %d px Windows picks RT_ICON %d, want %u", wanted[k], picked,
              ids[k]);
    }
}

// ---------------------------------------------------------------------------
// Version record

void check_version(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (!check(size > 0, "no version record (error %lu)", GetLastError())) return;
    std::vector<BYTE> data(size);
    if (!check(GetFileVersionInfoW(path.c_str(), 0, size, data.data()) != FALSE,
               "GetFileVersionInfoW failed (error %lu)", GetLastError()))
        return;

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    if (check(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &len) &&
                  len >= sizeof(VS_FIXEDFILEINFO),
              "no VS_FIXEDFILEINFO")) {
        check(fixed->dwSignature == 0xFEEF04BD, "bad VS_FIXEDFILEINFO signature");
        check(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0,
              "file version is %lu.%lu.%lu.%lu, want 1.0.0.0", HIWORD(fixed->dwFileVersionMS),
              LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
              LOWORD(fixed->dwFileVersionLS));
        check(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0,
              "product version is %lu.%lu.%lu.%lu, want 1.0.0.0",
              HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
              HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
        check(fixed->dwFileOS == VOS_NT_WINDOWS32, "FILEOS is 0x%lx, want VOS_NT_WINDOWS32",
              fixed->dwFileOS);
        check(fixed->dwFileType == VFT_APP, "FILETYPE is %lu, want VFT_APP", fixed->dwFileType);
    }

    WORD* translations = nullptr;
    len = 0;
    bool us_unicode = false;
    if (VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                       reinterpret_cast<void**>(&translations), &len)) {
        for (UINT i = 0; i + 1 < len / sizeof(WORD); i += 2)
            if (translations[i] == 0x0409 && translations[i + 1] == 0x04B0) us_unicode = true;
    }
    check(us_unicode, "VarFileInfo\\Translation lacks 0409/04B0");

    struct Expected {
        const wchar_t* name;
        const wchar_t* value;  // nullptr: any non-empty value
    };
    // OriginalFilename is compared with the file itself below.
    const Expected expected[] = {
        {L"CompanyName", L"Velmora"},     {L"FileDescription", L"Velmora loader"},
        {L"FileVersion", L"1.0.0.0"},     {L"InternalName", L"Velmora"},
        {L"LegalCopyright", nullptr},     {L"OriginalFilename", L"Velmora.exe"},
        {L"ProductName", L"Velmora"},     {L"ProductVersion", L"1.0.0.0"},
    };
    for (const Expected& e : expected) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + e.name;
        wchar_t* value = nullptr;
        len = 0;
        if (!check(VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value),
                                  &len) &&
                       value != nullptr,
                   "StringFileInfo 040904B0 has no %s", utf8(e.name).c_str()))
            continue;
        std::wstring got(value);
        std::printf("%s: %s\n", utf8(e.name).c_str(), utf8(got).c_str());
        if (e.value)
            check(got == e.value, "%s is \"%s\", want \"%s\"", utf8(e.name).c_str(),
                  utf8(got).c_str(), utf8(e.value).c_str());
        else
            check(got.find(L"Velmora") != std::wstring::npos, "%s \"%s\" does not name Velmora",
                  utf8(e.name).c_str(), utf8(got).c_str());
    }

    // The record has to describe the file it sits in: the real Velmora.exe.
    std::wstring file = base_name(path);
    check(CompareStringOrdinal(file.c_str(), -1, L"Velmora.exe", -1, TRUE) == CSTR_EQUAL,
          "checked file is \"%s\", but its record says Velmora.exe", utf8(file).c_str());
}

// ---------------------------------------------------------------------------
// Manifest

bool contains(const std::string& s, const char* what) {
    return s.find(what) != std::string::npos;
}

// The attribute's value within one element, or "" when absent.
std::string attribute(const std::string& element, const std::string& name) {
    for (char quote : {'"', '\''}) {
        std::string key = name + "=" + quote;
        size_t at = element.find(key);
        if (at == std::string::npos) continue;
        at += key.size();
        size_t end = element.find(quote, at);
        if (end != std::string::npos) return element.substr(at, end - at);
    }
    return {};
}

void check_manifest(HMODULE module, const std::wstring& path) {
    Blob blob = load_resource(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    if (!check(blob.data != nullptr && blob.size > 0, "no RT_MANIFEST resource with id 1"))
        return;
    std::string xml(reinterpret_cast<const char*>(blob.data), blob.size);

    size_t at = xml.find("<requestedExecutionLevel");
    if (check(at != std::string::npos, "manifest has no requestedExecutionLevel")) {
        std::string element = xml.substr(at, xml.find('>', at) - at);
        check(attribute(element, "level") == "asInvoker",
              "requestedExecutionLevel level is \"%s\", want asInvoker",
              attribute(element, "level").c_str());
        check(attribute(element, "uiAccess") == "false",
              "requestedExecutionLevel uiAccess is \"%s\", want false",
              attribute(element, "uiAccess").c_str());
    }
    check(contains(xml, "<trustInfo"), "manifest has no trustInfo");

    const struct {
        const char* id;
        const char* os;
    } oses[] = {
        {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "Windows 7"},
        {"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "Windows 8"},
        {"{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "Windows 8.1"},
        {"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "Windows 10/11"},
    };
    for (const auto& os : oses)
        check(contains(xml, os.id), "manifest does not declare support for %s", os.os);

    // Would switch the process's ANSI code page, which the loader relies on.
    check(!contains(xml, "activeCodePage"), "manifest sets activeCodePage");
    check(!contains(xml, "Microsoft.Windows.Common-Controls"),
          "manifest depends on Common Controls");

    // A manifest the loader cannot parse stops the exe from starting at all.
    ACTCTXW ctx = {};
    ctx.cbSize = sizeof ctx;
    ctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    ctx.lpSource = path.c_str();
    ctx.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE actctx = CreateActCtxW(&ctx);
    if (check(actctx != INVALID_HANDLE_VALUE, "Windows rejects the manifest (error %lu)",
              GetLastError()))
        ReleaseActCtx(actctx);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: resources_check <path to Velmora.exe>\n", stderr);
        return 2;
    }
    const std::wstring path = resolve_path(argv[1]);
    std::printf("checking %s\n", utf8(path).c_str());

    HMODULE module = LoadLibraryExW(path.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        fail("cannot load %s as a data file (error %lu)", utf8(path).c_str(), GetLastError());
        return 1;
    }
    check_icons(module);
    check_version(path);
    check_manifest(module, path);
    FreeLibrary(module);

    std::printf("%d checks, %d failed\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
