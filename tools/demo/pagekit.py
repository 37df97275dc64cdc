"""Helpers that make an installer program carry pages for a given package
server: a copy of the pages with the install parameters pointed elsewhere, a
throw-away code-signing certificate, signing and packing. Used by the main
job (tools/demo/demo.py) and by the tests of the headless page flow.
"""
import os
import re
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGES = os.path.join(ROOT, "pages")
PACKER = os.path.join(ROOT, "tools", "pack-payload")


def set_install_parameter(text, key, value):
    """Replaces the string value of `key` in the install parameters script."""
    pattern = re.compile(r'("%s"\s*:\s*)"(?:[^"\\]|\\.)*"' % re.escape(key))
    if not pattern.search(text):
        raise ValueError("no string parameter %s in the install parameters" % key)
    return pattern.sub(lambda m: m.group(1) + '"' + value.replace('"', '\\"') + '"', text, count=1)


def make_pages(destination, **parameters):
    """Copies the page set to `destination` with the given install parameters
    (DOWNLOAD_URL=..., PRODUCT_FILE_NAME=..., ...) replaced."""
    if os.path.exists(destination):
        shutil.rmtree(destination)
    shutil.copytree(PAGES, destination)
    path = os.path.join(destination, "js", "installparams.js")
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for key, value in parameters.items():
        text = set_install_parameter(text, key, value)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return destination


def make_certificate(folder, openssl="openssl"):
    """A self-signed code-signing certificate for this run only; returns
    (certificate, key) paths."""
    cert = os.path.join(folder, "signer.pem")
    key = os.path.join(folder, "signer.key")
    subprocess.run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=Brightcast Demo Signer",
                    "-addext", "extendedKeyUsage=codeSigning",
                    "-addext", "keyUsage=digitalSignature"],
                   check=True, capture_output=True)
    return cert, key


def sign(program, output, cert, key, osslsigncode="osslsigncode"):
    if os.path.exists(output):
        os.remove(output)
    subprocess.run([osslsigncode, "sign", "-certs", cert, "-key", key,
                    "-n", "Brightcast Suite Setup", "-in", program, "-out", output],
                   check=True, capture_output=True)
    return output


def verify(program, cert, osslsigncode="osslsigncode"):
    """True when the signature verifies against `cert`."""
    run = subprocess.run([osslsigncode, "verify", "-CAfile", cert, "-in", program],
                         capture_output=True, text=True)
    return run.returncode == 0


def pack(program, pages, output):
    subprocess.run(["python3", PACKER, program, pages, output], check=True, capture_output=True)
    return output


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")
