import os
import sys

from quarvel.bench import main

try:
    sys.exit(main())
except BrokenPipeError:  # the reader went away (e.g. `| head`): stop quietly
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    sys.exit(1)
except KeyboardInterrupt:  # before or after the timing (which stops cleanly by itself)
    print("python -m quarvel.bench: interrupted", file=sys.stderr)
    sys.exit(130)
