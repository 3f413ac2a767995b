// The DLLs a packed program may import without carrying them: those that
// every 64-bit Windows 10 or later has in System32. The Visual C++ runtime
// (vcruntime140.dll, msvcp140.dll, ...) is not among them: a program
// built with it must bring it along.
#include <algorithm>
#include <array>
#include <string>

#include "pack/base/base.h"
#include "pack/checks/checks.h"

namespace velsor {

namespace {

// Lower case, in order.
constexpr std::array<std::string_view, 167> system_dlls = {
    "activeds.dll", "advapi32.dll", "advpack.dll", "apphelp.dll", "authz.dll", "avifil32.dll", "avrt.dll",
    "bcrypt.dll", "bcryptprimitives.dll", "cabinet.dll", "cfgmgr32.dll", "clbcatq.dll", "clusapi.dll",
    "combase.dll", "comctl32.dll", "comdlg32.dll", "comsvcs.dll", "credui.dll", "crypt32.dll", "cryptbase.dll",
    "cryptnet.dll", "cryptsp.dll", "cryptui.dll", "d2d1.dll", "d3d10.dll", "d3d10_1.dll", "d3d11.dll", "d3d12.dll",
    "d3d9.dll", "d3dcompiler_47.dll", "davclnt.dll", "dbgeng.dll", "dbghelp.dll", "dcomp.dll", "ddraw.dll",
    "devobj.dll", "dhcpcsvc.dll", "dinput8.dll", "dnsapi.dll", "dpapi.dll", "dsound.dll", "dsparse.dll",
    "dsrole.dll", "dwmapi.dll", "dwrite.dll", "dxgi.dll", "dxva2.dll", "elscore.dll", "esent.dll", "evr.dll",
    "faultrep.dll", "feclient.dll", "firewallapi.dll", "fltlib.dll", "framedynos.dll", "fwpuclnt.dll", "gdi32.dll",
    "gdi32full.dll", "gdiplus.dll", "glu32.dll", "hid.dll", "hlink.dll", "httpapi.dll", "icmp.dll", "imagehlp.dll",
    "imm32.dll", "inetmib1.dll", "iphlpapi.dll", "kernel32.dll", "kernelbase.dll", "ksuser.dll", "ktmw32.dll",
    "logoncli.dll", "lz32.dll", "mf.dll", "mfplat.dll", "mfreadwrite.dll", "mgmtapi.dll", "mlang.dll", "mpr.dll",
    "mprapi.dll", "msacm32.dll", "msasn1.dll", "mscms.dll", "mscoree.dll", "msctf.dll", "msdmo.dll", "msi.dll",
    "msimg32.dll", "mskeyprotect.dll", "msvcp_win.dll", "msvcrt.dll", "msvfw32.dll", "mswsock.dll", "ncrypt.dll",
    "nddeapi.dll", "netapi32.dll", "netutils.dll", "newdev.dll", "ninput.dll", "normaliz.dll", "ntdll.dll",
    "ntdsapi.dll", "ntlanman.dll", "ntmarta.dll", "odbc32.dll", "ole32.dll", "oleacc.dll", "oleaut32.dll",
    "oledlg.dll", "opengl32.dll", "p2p.dll", "pdh.dll", "powrprof.dll", "profapi.dll", "propsys.dll", "psapi.dll",
    "qwave.dll", "rasapi32.dll", "rpcrt4.dll", "rstrtmgr.dll", "rtutils.dll", "samcli.dll", "sechost.dll",
    "secur32.dll", "sensapi.dll", "setupapi.dll", "shcore.dll", "shdocvw.dll", "shell32.dll", "shlwapi.dll",
    "slc.dll", "spoolss.dll", "srvcli.dll", "sspicli.dll", "sxs.dll", "tapi32.dll", "tbs.dll", "tdh.dll",
    "ucrtbase.dll", "uiautomationcore.dll", "urlmon.dll", "user32.dll", "userenv.dll", "usp10.dll", "uxtheme.dll",
    "version.dll", "virtdisk.dll", "wer.dll", "wevtapi.dll", "windowscodecs.dll", "winhttp.dll", "wininet.dll",
    "winmm.dll", "winscard.dll", "winspool.drv", "winsta.dll", "wintrust.dll", "winusb.dll", "wlanapi.dll",
    "wldap32.dll", "ws2_32.dll", "wsock32.dll", "wtsapi32.dll", "xinput1_4.dll", "xinput9_1_0.dll", "xmllite.dll",
};

// Prefixes of the API set names, which the loader maps to system DLLs.
constexpr std::array<std::string_view, 2> api_set_prefixes = {"api-ms-win-", "ext-ms-"};

}  // namespace

bool is_system_dll(std::string_view name) {
    std::string key = ascii_lower(std::string(name));
    if (std::any_of(api_set_prefixes.begin(), api_set_prefixes.end(),
                    [&](std::string_view prefix) { return key.rfind(prefix, 0) == 0; })) {
        return true;
    }
    if (key.find('.') == std::string::npos) {
        key += ".dll";  // the loader's default extension
    }
    return std::binary_search(system_dlls.begin(), system_dlls.end(), key);
}

}  // namespace velsor
