import sys

from quarvel.bench import main

sys.exit(main())
