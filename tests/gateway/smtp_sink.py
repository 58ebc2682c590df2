"""A real SMTP server as the sink behind the tests' private Postfix.

aiosmtpd on 127.0.0.1, no TLS, no AUTH: every message it accepts is written
to a file of its own in --record (under a temporary name, then renamed):
"MAIL FROM:<...>", one "RCPT TO:<...>" line a recipient, a blank line, then
the bytes as received. --count-only writes no bytes, only the envelope (the
benchmark's sink).

    smtp_sink.py --port N --record DIR [--count-only]

--port 0 takes a free port. Prints "ready PORT" once it listens. Run it
with /usr/bin/python3.
"""

import argparse
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP


class Handler:
    def __init__(self, args):
        self.args = args
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        name = '%d-%d.eml' % (os.getpid(), self.count)
        temp = os.path.join(self.args.record, '.' + name)
        with open(temp, 'wb') as f:
            f.write(b'MAIL FROM:<' + envelope.mail_from.encode() + b'>\n')
            for r in envelope.rcpt_tos:
                f.write(b'RCPT TO:<' + r.encode() + b'>\n')
            f.write(b'\n')
            if not self.args.count_only:
                f.write(envelope.original_content)
        os.rename(temp, os.path.join(self.args.record, name))
        return '250 2.0.0 OK'


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--record', required=True)
    parser.add_argument('--count-only', action='store_true')
    args = parser.parse_args()
    handler = Handler(args)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(handler, data_size_limit=64 << 20, enable_SMTPUTF8=True,
                     decode_data=False, hostname='sink.tarnvex.test'),
        host='127.0.0.1', port=args.port)
    port = server.sockets[0].getsockname()[1]
    print('ready %d' % port, flush=True)
    await server.serve_forever()


if __name__ == '__main__':
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
