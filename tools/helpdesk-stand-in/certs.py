"""Throwaway certificate authority and server certificate for the stand-in."""

import os
import ssl

import trustme

SERVER_IDENTITIES = ("127.0.0.1", "localhost")


def _write_private(blob, path):
    # Private keys are readable by the owner only, even in a shared temp dir.
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as handle:
        handle.write(blob.bytes())


def prepare_certificates(cert_dir, untrusted=False):
    """Create the CA and server certificate in cert_dir.

    Returns (ca_path, ssl_context). With untrusted=True the server certificate
    is signed by a second CA that is not the one written to ca_path, so a
    client trusting ca_path must refuse the server.
    """
    os.makedirs(cert_dir, exist_ok=True)
    trusted_ca = trustme.CA(organization_name="Helpdesk stand-in test CA")
    ca_path = os.path.join(cert_dir, "ca.pem")
    trusted_ca.cert_pem.write_to_path(ca_path)

    signing_ca = trusted_ca
    if untrusted:
        signing_ca = trustme.CA(organization_name="Helpdesk stand-in untrusted CA")
        signing_ca.cert_pem.write_to_path(os.path.join(cert_dir, "untrusted-ca.pem"))

    server = signing_ca.issue_cert(*SERVER_IDENTITIES)
    cert_path = os.path.join(cert_dir, "server.pem")
    key_path = os.path.join(cert_dir, "server.key")
    with open(cert_path, "wb") as handle:
        for blob in server.cert_chain_pems:
            handle.write(blob.bytes())
    _write_private(server.private_key_pem, key_path)

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert_path, key_path)
    return ca_path, context
