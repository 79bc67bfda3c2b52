from jarn.cli import main

raise SystemExit(main())
