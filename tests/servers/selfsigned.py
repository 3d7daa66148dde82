"""A self-signed server certificate made at test time with GnuTLS's certtool.

    from selfsigned import make_certificate
    key, cert = make_certificate("/path/to/dir")   # reuses an existing pair
"""
import os
import subprocess

TEMPLATE = """cn = "localhost"
dns_name = "localhost"
ip_address = "127.0.0.1"
expiration_days = 30
tls_www_server
signing_key
encryption_key
"""


def make_certificate(directory):
    os.makedirs(directory, exist_ok=True)
    key = os.path.join(directory, "server.key")
    cert = os.path.join(directory, "server.pem")
    if os.path.exists(key) and os.path.exists(cert):
        return key, cert
    template = os.path.join(directory, "server.tmpl")
    with open(template, "w") as out:
        out.write(TEMPLATE)
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True}
    subprocess.run(["certtool", "--generate-privkey", "--key-type=ecdsa", "--outfile", key + ".tmp"], **quiet)
    subprocess.run(["certtool", "--generate-self-signed", "--load-privkey", key + ".tmp",
                    "--template", template, "--outfile", cert + ".tmp"], **quiet)
    os.replace(key + ".tmp", key)
    os.replace(cert + ".tmp", cert)
    return key, cert
