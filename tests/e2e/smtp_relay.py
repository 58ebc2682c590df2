"""A real SMTP server as the device's relay, for the end-to-end tests.

aiosmtpd on 127.0.0.1 with STARTTLS required before AUTH (PLAIN and LOGIN),
AUTH required before MAIL. Every message it accepts is written to a file of
its own in --record (written under a temporary name, then renamed): the
envelope sender and recipients, a blank line, then the bytes as received.

    smtp_relay.py --port N --cert PEM --key PEM --user U --password P
                  --record DIR [--defer-data N] [--reject ADDR ...]
                  [--data-delay SECONDS] [--slow-to ADDR=SECONDS ...]

--port 0 takes a free port. --defer-data N answers the first N messages
"451" after their data; --reject answers "550" to RCPT of that address.
--data-delay answers the end of every message's data that much later;
--slow-to that much later for a message to ADDR (only its own session
waits).
Prints "ready PORT" once it listens. Run it with /usr/bin/python3.
"""

import argparse
import asyncio
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Handler:
    def __init__(self, args):
        self.args = args
        self.deferred = 0
        self.count = 0
        self.slow = {}
        for item in args.slow_to:
            address, _, seconds = item.rpartition('=')
            self.slow[address] = float(seconds)

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address in self.args.reject:
            return '550 5.1.1 <%s>: Recipient address rejected' % address
        envelope.rcpt_tos.append(address)
        return '250 2.1.5 OK'

    async def handle_DATA(self, server, session, envelope):
        delay = self.args.data_delay
        for r in envelope.rcpt_tos:
            delay = max(delay, self.slow.get(r, 0))
        if delay > 0:
            await asyncio.sleep(delay)
        if self.deferred < self.args.defer_data:
            self.deferred += 1
            return '451 4.3.0 Try again later (%d)' % self.deferred
        self.count += 1
        name = '%d-%d.eml' % (os.getpid(), self.count)
        temp = os.path.join(self.args.record, '.' + name)
        with open(temp, 'wb') as f:
            f.write(b'MAIL FROM:<' + envelope.mail_from.encode() + b'>\n')
            for r in envelope.rcpt_tos:
                f.write(b'RCPT TO:<' + r.encode() + b'>\n')
            f.write(b'\n')
            f.write(envelope.original_content)
            f.flush()
            os.fsync(f.fileno())
        os.rename(temp, os.path.join(self.args.record, name))
        return '250 2.0.0 Ok: queued as %d' % self.count


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--port', type=int, default=0)
    p.add_argument('--cert', required=True)
    p.add_argument('--key', required=True)
    p.add_argument('--user', required=True)
    p.add_argument('--password', required=True)
    p.add_argument('--record', required=True)
    p.add_argument('--defer-data', type=int, default=0)
    p.add_argument('--reject', action='append', default=[])
    p.add_argument('--data-delay', type=float, default=0)
    p.add_argument('--slow-to', action='append', default=[])
    args = p.parse_args()

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    handler = Handler(args)

    def authenticate(server, session, envelope, mechanism, data):
        ok = (isinstance(data, LoginPassword) and
              data.login == args.user.encode() and
              data.password == args.password.encode())
        return AuthResult(success=ok)

    def factory():
        return SMTP(handler, hostname='relay.test', tls_context=context,
                    require_starttls=True, auth_required=True,
                    auth_require_tls=True, authenticator=authenticate)

    loop = asyncio.new_event_loop()
    server = loop.run_until_complete(
        loop.create_server(factory, '127.0.0.1', args.port,
                           reuse_address=True))
    port = server.sockets[0].getsockname()[1]
    print('ready %d' % port, flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == '__main__':
    sys.exit(main())
