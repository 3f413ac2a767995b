#!/usr/bin/python3
"""Authenticode signing of packed executables with osslsigncode and a
throwaway certificate: a signed executable verifies and runs, the signature
covers the payload, and a signed launcher given to --launcher gives the same
executable as the unsigned one (its signature could not survive).
Usage: signing.py VELSOR_PACK PACKED_EXE APP_DIR ENTRY LAUNCHER WORK_DIR"""
import os
import shutil
import subprocess
import sys

import pefile

from packtools import block_section, read, windows_path, wine


def run(args, expect=0):
    r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if expect is not None and r.returncode != expect:
        sys.exit("%s: status %d\n%s" % (" ".join(args), r.returncode, r.stdout))
    return r


def sign(work, unsigned, signed):
    run(["osslsigncode", "sign", "-certs", work + "/cert.pem", "-key", work + "/key.pem", "-n", "velsor test",
         "-in", unsigned, "-out", signed])


def verify(work, path):
    return run(["osslsigncode", "verify", "-CAfile", work + "/cert.pem", "-in", path], expect=None).returncode


def main():
    pack, packed, app, entry, launcher, work = sys.argv[1:7]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=velsor test",
         "-addext", "extendedKeyUsage=codeSigning", "-keyout", work + "/key.pem", "-out", work + "/cert.pem"])

    signed = work + "/signed.exe"
    sign(work, packed, signed)
    assert verify(work, signed) == 0, "the signed executable does not verify"
    r = wine([windows_path(signed), "exit", "42"])
    assert r.returncode == 42, "the signed executable ran with status %d: %s" % (r.returncode, r.stderr)

    # One byte of the payload block changed: the signature no longer holds.
    tampered = work + "/tampered.exe"
    data = bytearray(read(signed))
    block = block_section(pefile.PE(data=bytes(data)))
    data[block.PointerToRawData + block.Misc_VirtualSize // 2] ^= 0x01
    with open(tampered, "wb") as f:
        f.write(data)
    assert verify(work, tampered) != 0, "a changed payload still verifies"

    # A signed launcher: packed without its signature, and with a warning.
    sign(work, launcher, work + "/signed-launcher.exe")
    run([pack, "build", app, "--entry", entry, "-o", work + "/plain.exe", "--level", "1"])
    r = run([pack, "build", app, "--entry", entry, "-o", work + "/from-signed.exe", "--level", "1",
             "--launcher", work + "/signed-launcher.exe"])
    assert "is signed; the packed executable is not" in r.stdout, r.stdout
    assert read(work + "/from-signed.exe") == read(work + "/plain.exe"), "the signed launcher left traces"
    print("signed, verified, ran; a changed payload byte fails verification; a signed launcher packs unsigned")


if __name__ == "__main__":
    main()
