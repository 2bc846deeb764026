"""The https build against a TLS time page on loopback. The certificate authority is made
for the run and trusted inside the Wine root only by the Wine processes of this class."""

import datetime
import os
import re
import ssl

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

import harness
import timeserver as ts
from harness import CANNOT_GET, CMD_CHECK, CMD_SYNCHRONIZE, TIME_OK, UPDATED
from wine import e2e_dir


def certificate(name, issuer=None, valid_days=(-1, 30)):
    """(certificate, key) for the host name, signed by issuer; an authority without one."""
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    signer_name, signer_key = (issuer[0].subject, issuer[1]) if issuer else (subject, key)
    now, day = datetime.datetime.now(datetime.timezone.utc), datetime.timedelta(days=1)
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(signer_name)
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(now + valid_days[0] * day)
               .not_valid_after(now + valid_days[1] * day)
               .add_extension(x509.BasicConstraints(ca=not issuer, path_length=None), True))
    if issuer:
        builder = builder.add_extension(x509.SubjectAlternativeName([x509.DNSName(name)]), False)
    return builder.sign(signer_key, hashes.SHA256()), key


def server_context(folder, name, cert, key) -> ssl.SSLContext:
    (folder / f"{name}.crt").write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    (folder / f"{name}.key").write_bytes(key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(folder / f"{name}.crt", folder / f"{name}.key")
    return context


def trust_test_authority(cls):
    """Gives cls the server contexts by name and a TLS time server whose certificate the
    Wine processes started from here on trust; to be called before the session starts."""
    folder = e2e_dir() / "tls"
    folder.mkdir(parents=True, exist_ok=True)
    authority = certificate("Zelmora test authority")
    cls.contexts = {what: server_context(folder, what.replace(" ", "-"), *pair)
                    for what, pair in (
                        ("trusted", certificate("localhost", authority)),
                        ("untrusted issuer",
                         certificate("localhost", certificate("Unknown authority"))),
                        ("name mismatch", certificate("time.example.lan", authority)),
                        ("expired", certificate("localhost", authority, (-30, -1))))}
    bundle = folder / "authority.crt"
    bundle.write_bytes(authority[0].public_bytes(serialization.Encoding.PEM))
    os.environ["ZELMORA_WINE_CA_BUNDLE"] = str(bundle)
    cls.server_class = lambda port: ts.TimeServer(port, tls=cls.contexts["trusted"])


class TlsTimePage(harness.SessionTestCase):
    LIMIT = harness.DOWNLOAD_LIMIT

    @classmethod
    def setUpClass(cls):
        trust_test_authority(cls)
        super().setUpClass()

    def test_trusted_page_checks_and_synchronizes(self):
        self.s.server.reset()
        self.s.server.configure(align_to_second=True)  # page and clock in the same second
        self.assertEqual(self.s.operate(CMD_CHECK).final, TIME_OK)
        self.assertRegex(self.s.operate(CMD_SYNCHRONIZE).final, UPDATED)
        self.assertEqual([r.path for r in self.s.server.requests], ["/cgi-bin/timer.pl"] * 2)

    def test_through_the_users_proxy(self):
        """By CONNECT through the user's proxy, with every certificate check as without one."""
        self.addCleanup(setattr, self.s.server, "tls", self.contexts["trusted"])

        def check(proxy, context, offset, outcome):
            self.s.server.reset()
            self.s.server.tls = context
            self.s.server.configure(body=ts.live_page(offset), align_to_second=True)
            asked = len(proxy.requests())
            op = self.s.operate(CMD_SYNCHRONIZE, timeout=self.LIMIT)
            self.assertRegex(op.final, outcome, op.statuses)
            self.assertEqual(proxy.requests()[asked:],
                             [f"CONNECT localhost:{self.s.server.port}"], "what it was asked")
        # The page two hours off, for a refused certificate: a page taken would be set.
        self.through_proxy(lambda address: harness.set_users_proxy(self.s, address), (
            ("trusted", True, self.contexts["trusted"], 0, UPDATED),
            ("untrusted issuer", True, self.contexts["untrusted issuer"], 7200,
             f"^{re.escape(CANNOT_GET)}$")), check)

    def test_every_failure_ends_as_cannot_get_with_nothing_changed(self):
        # The page is two hours off: a page taken would end as a set, or as a failed one.
        for what, answer_at_once in (("untrusted issuer", False), ("name mismatch", False),
                                     ("expired", False), ("plain HTTP on the TLS port", True),
                                     ("handshake never completed", False)):
            with self.subTest(what):
                self.s.server.reset()
                self.s.server.tls = self.contexts.get(what)
                self.s.server.configure(body=ts.live_page(7200), answer_at_once=answer_at_once)
                op = self.s.operate(CMD_SYNCHRONIZE, timeout=self.LIMIT)
                self.assertTrue(op.finished, f"frozen for {op.seconds:.0f} s")
                self.assertEqual(op.final, CANNOT_GET, op.statuses)
                self.assertNotIn("GET", [r.method for r in self.s.server.requests])
        # Once the server lets go of a held handshake, the page works again at once.
        self.s.server.tls = self.contexts["trusted"]
        self.s.server.reset()
        self.s.wait_for(lambda: not self.s.server.open_connections, 60,
                        message="the server to let go of every connection")
        op = self.s.operate(CMD_CHECK)
        self.assertEqual(op.final, TIME_OK, op.statuses)
