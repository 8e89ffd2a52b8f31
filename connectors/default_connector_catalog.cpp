// The built-in connector catalog, used whenever the catalog's source cannot be read. Its entries keep the order in
// which the market shows them.
#include "connectors/connector_catalog.h"

const char* const default_connector_catalog_text = R"catalog({
  "format": "mivra-connectors-1",
  "connectors": [
    {
      "id": "filesystem",
      "name": "Files",
      "by": "MCP project",
      "category": "Files and code",
      "runtime": "node",
      "about": "Read, write and search files in one folder you choose (also outside the project).",
      "command": "npx",
      "args": [
        "-y",
        "@modelcontextprotocol/server-filesystem",
        "{FOLDER}"
      ],
      "fields": [
        {
          "key": "FOLDER",
          "label": "Folder it may use",
          "kind": "folder"
        }
      ]
    },
    {
      "id": "git",
      "name": "Git",
      "by": "MCP project",
      "category": "Files and code",
      "runtime": "python",
      "about": "Status, diffs, history, branches and commits of a git repository.",
      "command": "uvx",
      "args": [
        "mcp-server-git",
        "--repository",
        "{REPO}"
      ],
      "fields": [
        {
          "key": "REPO",
          "label": "Repository folder",
          "kind": "folder"
        }
      ]
    },
    {
      "id": "github",
      "name": "GitHub",
      "by": "GitHub",
      "category": "Files and code",
      "runtime": "node",
      "about": "Issues, pull requests, code search and repositories on GitHub (GitHub's own server).",
      "command": "npx",
      "args": [
        "-y",
        "mcp-remote",
        "https://api.githubcopilot.com/mcp/",
        "--header",
        "Authorization:${AUTH_HEADER}"
      ],
      "env": {
        "AUTH_HEADER": "Bearer {TOKEN}"
      },
      "fields": [
        {
          "key": "TOKEN",
          "label": "GitHub personal access token",
          "kind": "secret",
          "help": "https://github.com/settings/personal-access-tokens/new"
        }
      ]
    },
    {
      "id": "memory",
      "name": "Memory",
      "by": "MCP project",
      "category": "Thinking",
      "runtime": "node",
      "about": "A small knowledge graph the agent can store facts in and recall in later chats.",
      "command": "npx",
      "args": [
        "-y",
        "@modelcontextprotocol/server-memory"
      ]
    },
    {
      "id": "sequential-thinking",
      "name": "Sequential thinking",
      "by": "MCP project",
      "category": "Thinking",
      "runtime": "node",
      "about": "Lets the agent work through hard problems step by step, revising as it goes.",
      "command": "npx",
      "args": [
        "-y",
        "@modelcontextprotocol/server-sequential-thinking"
      ]
    },
    {
      "id": "time",
      "name": "Time",
      "by": "MCP project",
      "category": "Thinking",
      "runtime": "python",
      "about": "Current time and time-zone conversions.",
      "command": "uvx",
      "args": [
        "mcp-server-time"
      ]
    },
    {
      "id": "playwright",
      "name": "Playwright browser",
      "by": "Microsoft",
      "category": "Browser",
      "runtime": "node",
      "about": "Opens a real browser: click, type, fill forms, take snapshots of web pages.",
      "command": "npx",
      "args": [
        "-y",
        "@playwright/mcp@latest"
      ]
    },
    {
      "id": "chrome-devtools",
      "name": "Chrome DevTools",
      "by": "Google",
      "category": "Browser",
      "runtime": "node",
      "about": "Drives Chrome and reads its console, network and performance traces: debug websites.",
      "command": "npx",
      "args": [
        "-y",
        "chrome-devtools-mcp@latest"
      ]
    },
    {
      "id": "fetch",
      "name": "Fetch",
      "by": "MCP project",
      "category": "Web",
      "runtime": "python",
      "about": "Downloads web pages and turns them into Markdown.",
      "command": "uvx",
      "args": [
        "mcp-server-fetch"
      ]
    },
    {
      "id": "context7",
      "name": "Context7 docs",
      "by": "Upstash",
      "category": "Web",
      "runtime": "node",
      "about": "Up-to-date documentation and code examples for thousands of libraries.",
      "command": "npx",
      "args": [
        "-y",
        "@upstash/context7-mcp"
      ]
    },
    {
      "id": "brave-search",
      "name": "Brave Search",
      "by": "Brave",
      "category": "Web",
      "runtime": "node",
      "about": "Web, news, image and video search.",
      "command": "npx",
      "args": [
        "-y",
        "@brave/brave-search-mcp-server"
      ],
      "env": {
        "BRAVE_API_KEY": "{KEY}"
      },
      "fields": [
        {
          "key": "KEY",
          "label": "Brave Search API key",
          "kind": "secret",
          "help": "https://api-dashboard.search.brave.com/app/keys"
        }
      ]
    },
    {
      "id": "tavily",
      "name": "Tavily",
      "by": "Tavily",
      "category": "Web",
      "runtime": "node",
      "about": "Search and page extraction made for AI agents.",
      "command": "npx",
      "args": [
        "-y",
        "tavily-mcp@latest"
      ],
      "env": {
        "TAVILY_API_KEY": "{KEY}"
      },
      "fields": [
        {
          "key": "KEY",
          "label": "Tavily API key",
          "kind": "secret",
          "help": "https://app.tavily.com/home"
        }
      ]
    },
    {
      "id": "exa",
      "name": "Exa",
      "by": "Exa",
      "category": "Web",
      "runtime": "node",
      "about": "Neural web search, code search and company research.",
      "command": "npx",
      "args": [
        "-y",
        "exa-mcp-server"
      ],
      "env": {
        "EXA_API_KEY": "{KEY}"
      },
      "fields": [
        {
          "key": "KEY",
          "label": "Exa API key",
          "kind": "secret",
          "help": "https://dashboard.exa.ai/api-keys"
        }
      ]
    },
    {
      "id": "firecrawl",
      "name": "Firecrawl",
      "by": "Firecrawl",
      "category": "Web",
      "runtime": "node",
      "about": "Scrape and crawl websites, including pages that need JavaScript.",
      "command": "npx",
      "args": [
        "-y",
        "firecrawl-mcp"
      ],
      "env": {
        "FIRECRAWL_API_KEY": "{KEY}"
      },
      "fields": [
        {
          "key": "KEY",
          "label": "Firecrawl API key",
          "kind": "secret",
          "help": "https://www.firecrawl.dev/app/api-keys"
        }
      ]
    },
    {
      "id": "notion",
      "name": "Notion",
      "by": "Notion",
      "category": "Work apps",
      "runtime": "node",
      "about": "Search, read and edit pages and databases in your Notion workspace.",
      "command": "npx",
      "args": [
        "-y",
        "@notionhq/notion-mcp-server"
      ],
      "env": {
        "NOTION_TOKEN": "{TOKEN}"
      },
      "fields": [
        {
          "key": "TOKEN",
          "label": "Notion integration token",
          "kind": "secret",
          "help": "https://www.notion.so/profile/integrations"
        }
      ]
    },
    {
      "id": "linear",
      "name": "Linear",
      "by": "Linear",
      "category": "Work apps",
      "runtime": "node",
      "about": "Find, create and update Linear issues and projects. You sign in in your browser.",
      "command": "npx",
      "args": [
        "-y",
        "mcp-remote",
        "https://mcp.linear.app/mcp"
      ]
    },
    {
      "id": "sentry",
      "name": "Sentry",
      "by": "Sentry",
      "category": "Work apps",
      "runtime": "node",
      "about": "Look into errors and issues from your Sentry projects. You sign in in your browser.",
      "command": "npx",
      "args": [
        "-y",
        "mcp-remote",
        "https://mcp.sentry.dev/mcp"
      ]
    },
    {
      "id": "figma",
      "name": "Figma",
      "by": "Framelink",
      "category": "Design",
      "runtime": "node",
      "about": "Reads Figma files and frames so the agent can build them as code.",
      "command": "npx",
      "args": [
        "-y",
        "figma-developer-mcp",
        "--stdio"
      ],
      "env": {
        "FIGMA_API_KEY": "{KEY}"
      },
      "fields": [
        {
          "key": "KEY",
          "label": "Figma personal access token",
          "kind": "secret",
          "help": "https://help.figma.com/hc/en-us/articles/8085703771159-Manage-personal-access-tokens"
        }
      ]
    },
    {
      "id": "supabase",
      "name": "Supabase",
      "by": "Supabase",
      "category": "Data",
      "runtime": "node",
      "about": "Manage Supabase projects: tables, SQL queries, migrations, logs.",
      "command": "npx",
      "args": [
        "-y",
        "@supabase/mcp-server-supabase@latest"
      ],
      "env": {
        "SUPABASE_ACCESS_TOKEN": "{TOKEN}"
      },
      "fields": [
        {
          "key": "TOKEN",
          "label": "Supabase access token",
          "kind": "secret",
          "help": "https://supabase.com/dashboard/account/tokens"
        }
      ]
    },
    {
      "id": "shopify-dev",
      "name": "Shopify Dev",
      "by": "Shopify",
      "category": "Data",
      "runtime": "node",
      "about": "Shopify developer docs and API schemas for building apps and themes.",
      "command": "npx",
      "args": [
        "-y",
        "@shopify/dev-mcp@latest"
      ]
    },
    {
      "id": "netlify",
      "name": "Netlify",
      "by": "Netlify",
      "category": "Data",
      "runtime": "node",
      "about": "Create, deploy and manage Netlify sites.",
      "command": "npx",
      "args": [
        "-y",
        "@netlify/mcp"
      ]
    }
  ],
  "skill_sources": [
    {
      "repo": "anthropics/skills",
      "path": "skills",
      "branch": "HEAD",
      "by": "Anthropic",
      "license": "Apache-2.0"
    }
  ]
})catalog";
